// The coloured dot at the start of a row: running or not.
#pragma once

#include <QColor>
#include <QWidget>

namespace nimbrel::ui {

class StatusDot : public QWidget
{
public:
    explicit StatusDot(QWidget *parent = nullptr);
    void setColor(const QColor &color);

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    QColor color_;
};

} // namespace nimbrel::ui
