#include "app/ui/spinner.h"

#include "app/ui/style.h"

#include <QPainter>

namespace nimbrel::ui {

Spinner::Spinner(QWidget *parent) : QWidget(parent)
{
    setFixedSize(22, 20);
    timer_.setInterval(80);
    connect(&timer_, &QTimer::timeout, this, [this] {
        angle_ = (angle_ + 30) % 360;
        update();
    });
}

void Spinner::showEvent(QShowEvent *)
{
    timer_.start();
}

void Spinner::hideEvent(QHideEvent *)
{
    timer_.stop();
}

void Spinner::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    QPen pen(toneColor(palette(), Tone::secondary), 1.6);
    pen.setCapStyle(Qt::RoundCap);
    painter.setPen(pen);
    const QRectF circle(QPointF(width() / 2.0 - 5.5, height() / 2.0 - 5.5), QSizeF(11, 11));
    painter.drawArc(circle, -angle_ * 16, 270 * 16);
}

} // namespace nimbrel::ui
