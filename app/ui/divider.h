// A one-pixel rule between the panel's parts.
#pragma once

#include <QWidget>

namespace nimbrel::ui {

// A one-pixel rule, optionally starting `indent` pixels in from the leading edge.
class Divider : public QWidget
{
public:
    explicit Divider(int indent = 0, QWidget *parent = nullptr);

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    int indent_;
};

} // namespace nimbrel::ui
