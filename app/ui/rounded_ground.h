// A rounded, filled rectangle that other widgets stand on.
#pragma once

#include <QColor>
#include <QPalette>
#include <QWidget>

#include <functional>

namespace nimbrel::ui {

// The fill is taken from the palette when drawn, so it follows a change of appearance.
class RoundedGround : public QWidget
{
public:
    RoundedGround(double radius, std::function<QColor(const QPalette &)> fill,
                  QWidget *parent = nullptr);

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    double radius_;
    std::function<QColor(const QPalette &)> fill_;
};

} // namespace nimbrel::ui
