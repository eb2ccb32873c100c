#include "app/ui/style.h"

#include <QApplication>
#include <QFontDatabase>
#include <QLabel>
#include <QPainter>
#include <QStyleFactory>
#include <QSvgRenderer>
#include <QTextLayout>
#include <QToolTip>
#include <QtMath>

#include <QWidget>
#include <cmath>

namespace nimbrel::ui {

QColor toneColor(const QPalette &palette, Tone tone)
{
    switch (tone) {
    case Tone::primary:
        return palette.color(QPalette::WindowText);
    // Small text must keep 4.5:1 against the ground (3:1 for the least of it, the pids) in both
    // appearances, also on the row's hover and selection grounds: 0.65 and 0.5 do, 0.55 and 0.35
    // did not on the light ground.
    case Tone::secondary:
        return textColorAt(palette, 0.65);
    case Tone::tertiary:
        return textColorAt(palette, 0.5);
    }
    return palette.color(QPalette::WindowText);
}

QColor textColorAt(const QPalette &palette, double opacity)
{
    QColor color = palette.color(QPalette::WindowText);
    color.setAlphaF(float(opacity));
    return color;
}

QColor selectionGround(const QPalette &palette)
{
    QColor accent = palette.color(QPalette::Highlight);
    accent.setAlphaF(0.16f);
    return accent;
}

QColor runningGreen()
{
    return QColor(0x34, 0xB8, 0x57);
}

QColor erroredRed()
{
    return QColor(0xE5, 0x48, 0x3C);
}

QColor pinOrange()
{
    return QColor(0xF0, 0x8C, 0x1A);
}

QFont fontOf(int size, QFont::Weight weight)
{
    QFont font = QApplication::font();
    font.setPixelSize(size);
    font.setWeight(weight);
    return font;
}

QFont digitsFontOf(int size, QFont::Weight weight)
{
    // The interface fonts of Linux desktops draw their digits at one width already; what must
    // not happen is a fallback to a proportional face for the digits alone.
    QFont font = fontOf(size, weight);
    font.setStyleHint(QFont::SansSerif, QFont::PreferMatch);
    return font;
}

QPixmap symbol(const QString &name, int size, const QColor &color, qreal devicePixelRatio)
{
    const int pixels = qMax(1, qRound(size * devicePixelRatio));
    QImage image(pixels, pixels, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    {
        QPainter painter(&image);
        QSvgRenderer(QStringLiteral(":/icons/%1.svg").arg(name)).render(&painter);
        // The drawings are black shapes: keep their coverage, take our colour.
        painter.setCompositionMode(QPainter::CompositionMode_SourceIn);
        painter.fillRect(image.rect(), color);
    }
    QPixmap pixmap = QPixmap::fromImage(image);
    pixmap.setDevicePixelRatio(devicePixelRatio);
    return pixmap;
}

QIcon symbolIcon(const QString &name, int size, const QColor &color)
{
    QIcon icon;
    for (const qreal ratio : {1.0, 2.0})
        icon.addPixmap(symbol(name, size, color, ratio));
    return icon;
}

int lineAscent(const QFont &font, const QString &text)
{
    QTextLayout layout(text, font);
    layout.beginLayout();
    const QTextLine line = layout.createLine();
    layout.endLayout();
    return line.isValid() ? qCeil(line.ascent()) : QFontMetrics(font).ascent();
}

QColor over(const QColor &top, const QColor &ground)
{
    const float a = top.alphaF();
    return QColor::fromRgbF(top.redF() * a + ground.redF() * (1 - a),
                            top.greenF() * a + ground.greenF() * (1 - a),
                            top.blueF() * a + ground.blueF() * (1 - a));
}

double contrast(const QColor &text, const QColor &ground)
{
    const auto luminance = [](const QColor &c) {
        const auto channel = [](double v) {
            return v <= 0.03928 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4);
        };
        return 0.2126 * channel(c.redF()) + 0.7152 * channel(c.greenF()) +
               0.0722 * channel(c.blueF());
    };
    const double l1 = luminance(over(text, ground)), l2 = luminance(ground);
    return (std::max(l1, l2) + 0.05) / (std::min(l1, l2) + 0.05);
}

QLabel *columnLabel(int width, const QFont &font, QWidget *parent)
{
    auto *label = new QLabel(parent);
    label->setFont(font);
    label->setFixedWidth(width);
    label->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    return label;
}

void setTone(QWidget *widget, Tone tone)
{
    setTextColor(widget, toneColor(QApplication::palette(widget), tone));
}

void setTextColor(QWidget *widget, const QColor &color)
{
    QPalette palette = widget->palette();
    palette.setColor(QPalette::WindowText, color);
    palette.setColor(QPalette::Text, color);
    palette.setColor(QPalette::ButtonText, color);
    widget->setPalette(palette);
}

namespace {

QPalette darkPalette()
{
    QPalette p;
    const QColor window(0x26, 0x26, 0x28);
    const QColor base(0x1E, 0x1E, 0x20);
    const QColor text(0xEC, 0xEC, 0xEE);
    p.setColor(QPalette::Window, window);
    p.setColor(QPalette::WindowText, text);
    p.setColor(QPalette::Base, base);
    p.setColor(QPalette::AlternateBase, window);
    p.setColor(QPalette::Text, text);
    p.setColor(QPalette::Button, QColor(0x3A, 0x3A, 0x3D));
    p.setColor(QPalette::ButtonText, text);
    p.setColor(QPalette::ToolTipBase, QColor(0x3A, 0x3A, 0x3D));
    p.setColor(QPalette::ToolTipText, text);
    p.setColor(QPalette::PlaceholderText, QColor(0x8E, 0x8E, 0x93));
    p.setColor(QPalette::Highlight, QColor(0x0A, 0x84, 0xFF));
    p.setColor(QPalette::HighlightedText, Qt::white);
    p.setColor(QPalette::Light, QColor(0x48, 0x48, 0x4A));
    p.setColor(QPalette::Midlight, QColor(0x3A, 0x3A, 0x3C));
    p.setColor(QPalette::Mid, QColor(0x2C, 0x2C, 0x2E));
    p.setColor(QPalette::Dark, QColor(0x18, 0x18, 0x1A));
    p.setColor(QPalette::Shadow, Qt::black);
    for (const auto role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText})
        p.setColor(QPalette::Disabled, role, QColor(0x6E, 0x6E, 0x73));
    return p;
}

QPalette lightPalette()
{
    QPalette p;
    const QColor text(0x1D, 0x1D, 0x1F);
    p.setColor(QPalette::Window, QColor(0xF4, 0xF4, 0xF5));
    p.setColor(QPalette::WindowText, text);
    p.setColor(QPalette::Base, Qt::white);
    p.setColor(QPalette::AlternateBase, QColor(0xF4, 0xF4, 0xF5));
    p.setColor(QPalette::Text, text);
    p.setColor(QPalette::Button, QColor(0xFB, 0xFB, 0xFC));
    p.setColor(QPalette::ButtonText, text);
    p.setColor(QPalette::ToolTipBase, Qt::white);
    p.setColor(QPalette::ToolTipText, text);
    p.setColor(QPalette::PlaceholderText, QColor(0x8E, 0x8E, 0x93));
    p.setColor(QPalette::Highlight, QColor(0x0A, 0x64, 0xD8));
    p.setColor(QPalette::HighlightedText, Qt::white);
    for (const auto role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText})
        p.setColor(QPalette::Disabled, role, QColor(0xA8, 0xA8, 0xAD));
    return p;
}

} // namespace

QPalette appearancePalette(bool dark)
{
    return dark ? darkPalette() : lightPalette();
}

QPalette toolTipPalette(const QPalette &palette)
{
    QPalette tips = palette;
    const bool dark = palette.color(QPalette::Window).lightness() < 128;
    // A touch lighter than the window in dark, the plain base in light: a tip stands out from
    // what it covers without a colour of its own.
    const QColor ground =
        dark ? palette.color(QPalette::Window).lighter(135) : palette.color(QPalette::Base);
    for (const auto group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
        tips.setColor(group, QPalette::ToolTipBase, ground);
        tips.setColor(group, QPalette::ToolTipText, palette.color(QPalette::WindowText));
        tips.setColor(group, QPalette::Window, ground);
        tips.setColor(group, QPalette::WindowText, palette.color(QPalette::WindowText));
    }
    return tips;
}

void applyAppearance(QApplication &application, std::optional<bool> dark)
{
    if (dark) {
        application.setStyle(QStyleFactory::create(QStringLiteral("Fusion")));
        application.setPalette(appearancePalette(*dark));
    }
    QToolTip::setPalette(toolTipPalette(QApplication::palette()));
}

} // namespace nimbrel::ui
