#include "app/ui/segmented_control.h"

#include "app/ui/style.h"

#include <QMouseEvent>
#include <QPainter>

namespace nimbrel::ui {

namespace {

constexpr int controlHeight = 22;
constexpr double trackRadius = 6;
constexpr int inset = 2; // the raised segment inside the track

} // namespace

SegmentedControl::SegmentedControl(const QStringList &segments, QWidget *parent)
    : QWidget(parent), segments_(segments)
{
    setFont(fontOf(12));
    setFixedHeight(controlHeight);
    setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
    setMouseTracking(true); // the hover ground moves from segment to segment
}

void SegmentedControl::setCurrent(int index)
{
    if (index == current_ || index < 0 || index >= segments_.size())
        return;
    current_ = index;
    update();
}

int SegmentedControl::baseline() const
{
    const QFontMetrics metrics(font());
    return (controlHeight - metrics.height()) / 2 + metrics.ascent();
}

QRect SegmentedControl::segmentRect(int index) const
{
    const int count = int(segments_.size());
    const int left = width() * index / count;
    const int right = width() * (index + 1) / count;
    return QRect(left, 0, right - left, controlHeight);
}

QSize SegmentedControl::sizeHint() const
{
    int widest = 0;
    for (const QString &text : segments_)
        widest = std::max(widest, fontMetrics().horizontalAdvance(text));
    return {int(segments_.size()) * (widest + 24), controlHeight};
}

int SegmentedControl::segmentAt(QPoint point) const
{
    for (int i = 0; i < segments_.size(); ++i) {
        if (segmentRect(i).contains(point))
            return i;
    }
    return -1;
}

void SegmentedControl::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QPalette &p = palette();
    const bool dark = p.color(QPalette::Window).lightness() < 128;
    painter.setPen(Qt::NoPen);
    painter.setBrush(textColorAt(p, dark ? 0.10 : 0.07));
    painter.drawRoundedRect(QRectF(rect()), trackRadius, trackRadius);

    const QPoint pointer = mapFromGlobal(QCursor::pos());
    for (int i = 0; i < segments_.size(); ++i) {
        const QRectF box = QRectF(segmentRect(i)).adjusted(inset, inset, -inset, -inset);
        const bool chosen = i == current_;
        if (chosen) {
            // Raised: the lightest surface in light, a clearly lighter grey in dark.
            painter.setPen(QPen(textColorAt(p, dark ? 0.0 : 0.12), 0.5));
            painter.setBrush(dark ? textColorAt(p, 0.32) : p.color(QPalette::Base));
            painter.drawRoundedRect(box, trackRadius - inset, trackRadius - inset);
        } else if (underMouse() && box.contains(pointer)) {
            painter.setPen(Qt::NoPen);
            painter.setBrush(textColorAt(p, 0.06));
            painter.drawRoundedRect(box, trackRadius - inset, trackRadius - inset);
        } else if (i > 0 && i - 1 != current_) {
            // A hairline between two segments that are both not chosen.
            painter.fillRect(QRectF(box.left() - inset - 0.5, 6, 1, controlHeight - 12),
                             textColorAt(p, 0.15));
        }
        QFont font = this->font();
        font.setWeight(chosen ? QFont::DemiBold : QFont::Normal);
        painter.setFont(font);
        painter.setPen(toneColor(p, chosen ? Tone::primary : Tone::secondary));
        const QFontMetrics metrics(font);
        const int textWidth = metrics.horizontalAdvance(segments_[i]);
        const QRect cell = segmentRect(i);
        painter.drawText(QPoint(cell.left() + (cell.width() - textWidth) / 2, baseline()),
                         segments_[i]);
    }
}

void SegmentedControl::mousePressEvent(QMouseEvent *event)
{
    pressed_ = event->button() == Qt::LeftButton ? segmentAt(event->position().toPoint()) : -1;
}

void SegmentedControl::mouseMoveEvent(QMouseEvent *)
{
    update();
}

void SegmentedControl::leaveEvent(QEvent *)
{
    update();
}

void SegmentedControl::mouseReleaseEvent(QMouseEvent *event)
{
    const int released = segmentAt(event->position().toPoint());
    if (released >= 0 && released == std::exchange(pressed_, -1) && released != current_) {
        setCurrent(released);
        emit activated(released);
    }
}

} // namespace nimbrel::ui
