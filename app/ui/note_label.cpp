#include "app/ui/note_label.h"

#include "app/ui/style.h"

#include <QPainter>
#include <QTextLayout>

namespace nimbrel::ui {

NoteLabel::NoteLabel(const QString &text, QWidget *parent) : QWidget(parent), text_(text)
{
    setFont(fontOf(12));
    QSizePolicy policy(QSizePolicy::Preferred, QSizePolicy::Preferred);
    policy.setHeightForWidth(true);
    setSizePolicy(policy);
}

void NoteLabel::setText(const QString &text)
{
    if (text == text_)
        return;
    text_ = text;
    updateGeometry();
    update();
}

int NoteLabel::layOut(QTextLayout &layout, int width) const
{
    layout.setFont(font());
    QTextOption option;
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    layout.setTextOption(option);
    const QFontMetrics metrics(font());
    double y = 0;
    layout.beginLayout();
    for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
        line.setLineWidth(width);
        if (y > 0)
            y += lineSpacing;
        line.setPosition(QPointF(0, y));
        y += metrics.height();
    }
    layout.endLayout();
    return int(std::ceil(y));
}

int NoteLabel::heightForWidth(int width) const
{
    QTextLayout layout(text_);
    return layOut(layout, width);
}

QSize NoteLabel::sizeHint() const
{
    const int width = fontMetrics().horizontalAdvance(text_) + 1;
    return {width, heightForWidth(width)};
}

QSize NoteLabel::minimumSizeHint() const
{
    return {0, fontMetrics().height()};
}

void NoteLabel::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setPen(toneColor(palette(), Tone::secondary));
    QTextLayout layout(text_);
    layOut(layout, width());
    layout.draw(&painter, QPointF(0, 0));
}

} // namespace nimbrel::ui
