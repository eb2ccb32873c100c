// An on/off switch.
#pragma once

#include <QAbstractButton>

namespace nimbrel::ui {

class ToggleSwitch : public QAbstractButton
{
public:
    explicit ToggleSwitch(QWidget *parent = nullptr);
    QSize sizeHint() const override { return {38, 22}; }

protected:
    void paintEvent(QPaintEvent *event) override;
};

} // namespace nimbrel::ui
