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

QString NoteLabel::shownText(int width) const
{
    // Japanese may break between any two characters, which cuts words ("ピ|ン") at the edge:
    // a note too long for one line starts each sentence on a line of its own, so that a break
    // falls where a sentence ends.
    if (fontMetrics().horizontalAdvance(text_) <= width)
        return text_;
    QString text = text_;
    for (qsizetype at = text.indexOf(u'。'); at >= 0 && at + 1 < text.size();
         at = text.indexOf(u'。', at + 2))
        text.insert(at + 1, QChar::LineSeparator);
    return text;
}

int NoteLabel::heightForWidth(int width) const
{
    QTextLayout layout(shownText(width));
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
    QTextLayout layout(shownText(width()));
    layOut(layout, width());
    layout.draw(&painter, QPointF(0, 0));
}

} // namespace nimbrel::ui
