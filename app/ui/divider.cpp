#include "app/ui/divider.h"

#include "app/ui/style.h"

#include <QPainter>

namespace nimbrel::ui {

Divider::Divider(int indent, QWidget *parent) : QWidget(parent), indent_(indent)
{
    setFixedHeight(1);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
}

void Divider::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    const int left = layoutDirection() == Qt::LeftToRight ? indent_ : 0;
    painter.fillRect(QRect(left, 0, width() - indent_, 1), textColorAt(palette(), 0.12));
}

} // namespace nimbrel::ui
