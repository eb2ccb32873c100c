#include "app/ui/overlay_scroll_bar.h"

#include "app/ui/style.h"

#include <QAbstractScrollArea>
#include <QEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QScrollBar>

namespace nimbrel::ui {

namespace {

constexpr int stripWidth = 10;  // the strip that answers the pointer
constexpr double thin = 5;      // the handle at rest
constexpr double thick = 7;     // the handle under the pointer
constexpr double margin = 2;    // from the area's edges
constexpr double shortest = 24; // a handle stays big enough to hold

} // namespace

OverlayScrollBar::OverlayScrollBar(QAbstractScrollArea &area)
    : QWidget(&area), area_(area), bar_(*area.verticalScrollBar())
{
    setObjectName(QStringLiteral("scrollBar"));
    setAttribute(Qt::WA_Hover);
    area_.setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    connect(&bar_, &QScrollBar::rangeChanged, this, &OverlayScrollBar::follow);
    connect(&bar_, &QScrollBar::valueChanged, this, [this] { update(); });
    area_.installEventFilter(this);
    follow();
}

bool OverlayScrollBar::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == &area_ && event->type() == QEvent::Resize)
        follow();
    return QWidget::eventFilter(watched, event);
}

void OverlayScrollBar::follow()
{
    setGeometry(area_.width() - stripWidth, 0, stripWidth, area_.height());
    setVisible(bar_.maximum() > bar_.minimum());
    raise();
    update();
}

QRectF OverlayScrollBar::handleRect() const
{
    const double track = height() - 2 * margin;
    const double page = bar_.pageStep();
    const double range = bar_.maximum() - bar_.minimum();
    const double length = std::max(shortest, track * page / std::max(1.0, range + page));
    const double top =
        margin + (range > 0 ? (bar_.value() - bar_.minimum()) / range * (track - length) : 0);
    const double thickness = underMouse() || grabbedAt_ ? thick : thin;
    return QRectF(stripWidth - margin - thickness, top, thickness, length);
}

void OverlayScrollBar::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    const bool held = underMouse() || grabbedAt_;
    painter.setBrush(textColorAt(palette(), held ? 0.5 : 0.32));
    const QRectF handle = handleRect();
    painter.drawRoundedRect(handle, handle.width() / 2, handle.width() / 2);
}

void OverlayScrollBar::scrollToHandleTop(double top)
{
    const QRectF handle = handleRect();
    const double free = height() - 2 * margin - handle.height();
    if (free <= 0)
        return;
    const double share = std::clamp((top - margin) / free, 0.0, 1.0);
    bar_.setValue(bar_.minimum() + qRound(share * (bar_.maximum() - bar_.minimum())));
}

void OverlayScrollBar::mousePressEvent(QMouseEvent *event)
{
    if (event->button() != Qt::LeftButton)
        return;
    const QRectF handle = handleRect();
    const double y = event->position().y();
    if (y >= handle.top() && y <= handle.bottom()) {
        grabbedAt_ = y - handle.top();
    } else {
        // A press beside the handle moves one page towards the pointer.
        bar_.triggerAction(y < handle.top() ? QScrollBar::SliderPageStepSub
                                            : QScrollBar::SliderPageStepAdd);
    }
    update();
}

void OverlayScrollBar::mouseMoveEvent(QMouseEvent *event)
{
    if (grabbedAt_)
        scrollToHandleTop(event->position().y() - *grabbedAt_);
}

void OverlayScrollBar::mouseReleaseEvent(QMouseEvent *)
{
    grabbedAt_.reset();
    update();
}

} // namespace nimbrel::ui
