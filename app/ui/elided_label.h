// A one-line text that gives way to its neighbours: cut with "…", whole in its tooltip.
#pragma once

#include <QColor>
#include <QString>
#include <QWidget>

namespace nimbrel::ui {

// Never widens its parent; when the room it gets is too small, the text is cut and the whole
// of it becomes the tooltip, so a long name can still be read.
class ElidedLabel : public QWidget
{
public:
    explicit ElidedLabel(QWidget *parent = nullptr);
    void setText(const QString &text);
    const QString &text() const { return text_; }
    void setColor(const QColor &color);
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    void changeEvent(QEvent *event) override;

private:
    void updateToolTip();
    QString text_;
    QColor color_;
};

} // namespace nimbrel::ui
