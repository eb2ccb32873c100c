#include "app/ui/grabber.h"

#include "app/ui/style.h"
#include "app/ui/texts.h"

#include <QMouseEvent>
#include <QPainter>

namespace nimbrel::ui {

Grabber::Grabber(QWidget *parent) : QWidget(parent)
{
    setObjectName(QStringLiteral("grabber"));
    setFixedHeight(2 + 5 + 7);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    setCursor(Qt::SizeVerCursor);
    setToolTip(texts::grabberHelp);
}

void Grabber::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    const double opacity = dragging_ ? 0.7 : 0.35;
    painter.setBrush(textColorAt(palette(), 0.55 * opacity));
    const QRectF capsule(width() / 2.0 - 21, 2, 42, 5);
    painter.drawRoundedRect(capsule, 2.5, 2.5);
}

void Grabber::mousePressEvent(QMouseEvent *event)
{
    if (event->button() == Qt::LeftButton)
        pressedAt_ = event->globalPosition().y();
}

void Grabber::mouseMoveEvent(QMouseEvent *event)
{
    if (!pressedAt_)
        return;
    const double translation = event->globalPosition().y() - *pressedAt_;
    if (!dragging_ && std::abs(translation) < 1)
        return; // a drag starts after one pixel
    dragging_ = true;
    emit dragged(translation);
    update();
}

void Grabber::mouseReleaseEvent(QMouseEvent *)
{
    if (std::exchange(dragging_, false))
        emit released();
    pressedAt_.reset();
    update();
}

} // namespace nimbrel::ui
