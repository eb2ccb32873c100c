// A thin scroll bar that floats over the edge of a scroll area instead of taking a column.
#pragma once

#include <QPointer>
#include <QWidget>

#include <optional>

class QAbstractScrollArea;
class QScrollBar;

namespace nimbrel::ui {

// Mirrors the area's own vertical scroll bar, which stays hidden: the rows keep the full width,
// so their columns stay in line with the header whether or not the list scrolls. The handle is
// drawn on nothing (no groove), and grows a little under the pointer.
class OverlayScrollBar : public QWidget
{
public:
    explicit OverlayScrollBar(QAbstractScrollArea &area);
    QRectF handleRect() const;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
    void paintEvent(QPaintEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;

private:
    void follow();
    void scrollToHandleTop(double top);

    QAbstractScrollArea &area_;
    QScrollBar &bar_;
    std::optional<double> grabbedAt_; // where in the handle the pointer holds it
};

} // namespace nimbrel::ui
