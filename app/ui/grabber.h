// The handle under the panel's footer: dragging it down makes the list taller.
#pragma once

#include <QWidget>

#include <optional>

namespace nimbrel::ui {

// Says how far it was dragged (downward positive, from where the drag began) and when the drag
// ended; the panel decides what the height becomes.
class Grabber : public QWidget
{
    Q_OBJECT

public:
    explicit Grabber(QWidget *parent = nullptr);

signals:
    void dragged(double translation);
    void released();

protected:
    void paintEvent(QPaintEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;

private:
    std::optional<double> pressedAt_;
    bool dragging_ = false;
};

} // namespace nimbrel::ui
