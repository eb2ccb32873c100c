#include "app/ui/tray_icon.h"

#include <QPainter>
#include <QPainterPath>

namespace nimbrel::ui {

namespace {

const QColor onLight(0x2B, 0x2B, 0x2E);
const QColor onDark(0xEC, 0xEC, 0xEE);

} // namespace

QImage trayImage(int size, bool darkBar)
{
    // Whole pixels throughout: the units' heights, the gaps and the dots are integers, so no
    // edge falls between two pixels and blurs.
    const int gap = size >= 40 ? 3 : size >= 24 ? 2 : 1;
    const int unit = (size - 2 - 2 * gap) / 3;
    const int top = (size - (3 * unit + 2 * gap)) / 2;
    const int side = (size + 4) / 8;
    const int width = size - 2 * side;
    const int dot = std::max(2, unit / 3);
    const double radius = unit >= 8 ? 2 : 1;

    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    for (int i = 0; i < 3; ++i) {
        const QRect box(side, top + i * (unit + gap), width, unit);
        QPainterPath path;
        path.addRoundedRect(QRectF(box), radius, radius);
        // The unit's light: a hole, so the bar shows through it whatever its colour.
        path.addRect(QRectF(box.left() + dot, box.top() + (unit - dot) / 2, dot, dot));
        painter.fillPath(path, darkBar ? onDark : onLight);
    }
    return image;
}

QIcon trayIconFor(bool darkBar)
{
    QIcon icon;
    for (const int size : {16, 22, 24, 32, 44, 48})
        icon.addPixmap(QPixmap::fromImage(trayImage(size, darkBar)));
    return icon;
}

bool barLooksDark(const QPalette &palette, const QString &desktop)
{
    if (desktop.split(u':').contains(QStringLiteral("GNOME"), Qt::CaseInsensitive))
        return true;
    return palette.color(QPalette::Window).lightness() < 128;
}

} // namespace nimbrel::ui
