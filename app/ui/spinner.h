// A small turning arc that stands for a command in flight.
#pragma once

#include <QTimer>
#include <QWidget>

namespace nimbrel::ui {

class Spinner : public QWidget
{
public:
    explicit Spinner(QWidget *parent = nullptr);

protected:
    void paintEvent(QPaintEvent *event) override;
    void showEvent(QShowEvent *event) override;
    void hideEvent(QHideEvent *event) override;

private:
    QTimer timer_;
    int angle_ = 0;
};

} // namespace nimbrel::ui
