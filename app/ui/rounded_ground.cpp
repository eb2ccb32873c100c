#include "app/ui/rounded_ground.h"

#include <QPainter>

namespace nimbrel::ui {

RoundedGround::RoundedGround(double radius, std::function<QColor(const QPalette &)> fill,
                             QWidget *parent)
    : QWidget(parent), radius_(radius), fill_(std::move(fill))
{}

void RoundedGround::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(fill_(palette()));
    painter.drawRoundedRect(QRectF(rect()), radius_, radius_);
}

} // namespace nimbrel::ui
