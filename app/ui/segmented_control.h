// One control of exclusive segments, such as the panel's choice of sort order.
#pragma once

#include <QStringList>
#include <QWidget>

namespace nimbrel::ui {

// Drawn as one rounded track with the chosen segment raised on it, so the choice reads the same
// in light and dark whatever the desktop's button style is.
class SegmentedControl : public QWidget
{
    Q_OBJECT

public:
    SegmentedControl(const QStringList &segments, QWidget *parent = nullptr);
    int current() const { return current_; }
    void setCurrent(int index);
    // Where the segments' texts stand, from the top: for lining up with texts beside it.
    int baseline() const;
    QRect segmentRect(int index) const;
    QSize sizeHint() const override;

signals:
    void activated(int index);

protected:
    void paintEvent(QPaintEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void leaveEvent(QEvent *event) override;

private:
    int segmentAt(QPoint point) const;
    QStringList segments_;
    int current_ = -1;
    int pressed_ = -1;
};

} // namespace nimbrel::ui
