// A row's second line: its ports as small chips that open in the browser, then the summary.
#pragma once

#include <QColor>
#include <QList>
#include <QRect>
#include <QString>
#include <QWidget>

#include <cstdint>

namespace nimbrel::ui {

// Shows as many ports as fit beside the whole summary, the rest as one "+N" chip whose click
// lists them; the summary is cut only when even one port leaves it too little room.
class DetailLine : public QWidget
{
    Q_OBJECT

public:
    explicit DetailLine(QWidget *parent = nullptr);
    void setContent(const QList<int64_t> &ports, const QString &summary);
    void setColor(const QColor &color);
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

    // The chips as laid out at the current width; the port is 0 for the "+N" chip.
    struct Chip
    {
        QRect rect;
        QString text;
        int64_t port = 0;
    };
    QList<Chip> chips() const;

signals:
    void portClicked(int64_t port);

protected:
    void paintEvent(QPaintEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void leaveEvent(QEvent *event) override;
    bool event(QEvent *event) override;

private:
    QList<Chip> chipsFor(int shown) const;
    int chipsWidth(const QList<Chip> &chips) const;
    int chipAt(QPoint point) const;
    int baseline() const;
    void showHidden(QPoint at);

    QList<int64_t> ports_;
    QString summary_;
    QColor color_;
    int hovered_ = -1;
};

} // namespace nimbrel::ui
