// A short explanation under a group of the settings: small secondary text, 4 pixels between
// its lines, wrapped to the width it gets.
#pragma once

#include <QString>
#include <QWidget>

class QTextLayout;

namespace nimbrel::ui {

class NoteLabel : public QWidget
{
public:
    static constexpr int lineSpacing = 4;

    explicit NoteLabel(const QString &text = {}, QWidget *parent = nullptr);
    void setText(const QString &text);
    const QString &text() const { return text_; }

    bool hasHeightForWidth() const override { return true; }
    int heightForWidth(int width) const override;
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    // Lays the text out in `layout` for `width`; returns its height.
    int layOut(QTextLayout &layout, int width) const;
    QString shownText(int width) const;
    QString text_;
};

} // namespace nimbrel::ui
