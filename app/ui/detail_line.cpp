#include "app/ui/detail_line.h"

#include "app/ui/style.h"
#include "app/ui/texts.h"

#include <QDesktopServices>
#include <QHelpEvent>
#include <QMenu>
#include <QMouseEvent>
#include <QPainter>
#include <QToolTip>
#include <QUrl>

namespace nimbrel::ui {

namespace {

constexpr int chipPadding = 5; // left and right of a chip's digits
constexpr int chipGap = 4;
constexpr int summaryGap = 8; // between the last chip and the summary
constexpr double chipRadius = 4;

QFont chipFont()
{
    return digitsFontOf(10, QFont::Medium);
}

int chipHeight()
{
    return QFontMetrics(chipFont()).capHeight() + 6; // 3 over the digits, 3 under
}

} // namespace

DetailLine::DetailLine(QWidget *parent) : QWidget(parent)
{
    setFont(fontOf(11));
    setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
    setMouseTracking(true);
}

void DetailLine::setContent(const QList<int64_t> &ports, const QString &summary)
{
    if (ports == ports_ && summary == summary_)
        return;
    ports_ = ports;
    summary_ = summary;
    hovered_ = -1;
    updateGeometry();
    update();
}

void DetailLine::setColor(const QColor &color)
{
    color_ = color;
    update();
}

QSize DetailLine::sizeHint() const
{
    const int chips = chipsWidth(chipsFor(int(ports_.size())));
    const int text = fontMetrics().horizontalAdvance(summary_);
    return {chips + (chips && text ? summaryGap : 0) + text + 1, minimumSizeHint().height()};
}

QSize DetailLine::minimumSizeHint() const
{
    return {0, std::max(fontMetrics().height(), chipHeight())};
}

int DetailLine::baseline() const
{
    // The chips' digits and the summary share one baseline, the chips centred in the line.
    return (height() - chipHeight()) / 2 + 3 + QFontMetrics(chipFont()).capHeight();
}

QList<DetailLine::Chip> DetailLine::chipsFor(int shown) const
{
    const QFontMetrics metrics(chipFont());
    const int top = (height() - chipHeight()) / 2;
    QList<Chip> chips;
    int x = 0;
    const auto add = [&](const QString &text, int64_t port) {
        const int width = metrics.horizontalAdvance(text) + 2 * chipPadding;
        chips.append({QRect(x, top, width, chipHeight()), text, port});
        x += width + chipGap;
    };
    for (int i = 0; i < shown; ++i)
        add(QString::number(ports_[i]), ports_[i]);
    if (shown < ports_.size())
        add(u'+' + QString::number(ports_.size() - shown), 0);
    return chips;
}

int DetailLine::chipsWidth(const QList<Chip> &chips) const
{
    return chips.isEmpty() ? 0 : chips.back().rect.right() + 1;
}

QList<DetailLine::Chip> DetailLine::chips() const
{
    if (ports_.isEmpty())
        return {};
    const int text = fontMetrics().horizontalAdvance(summary_);
    // The most ports that leave the summary whole; at least the lowest one.
    for (int shown = int(ports_.size()); shown > 1; --shown) {
        const QList<Chip> chips = chipsFor(shown);
        if (chipsWidth(chips) + (text ? summaryGap + text : 0) <= width())
            return chips;
    }
    return chipsFor(1);
}

void DetailLine::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QColor text = color_.isValid() ? color_ : palette().color(QPalette::WindowText);
    const QList<Chip> chips = this->chips();
    painter.setFont(chipFont());
    for (qsizetype i = 0; i < chips.size(); ++i) {
        const Chip &chip = chips[i];
        painter.setPen(Qt::NoPen);
        painter.setBrush(textColorAt(palette(), i == hovered_ ? 0.14 : 0.075));
        painter.drawRoundedRect(QRectF(chip.rect), chipRadius, chipRadius);
        painter.setPen(i == hovered_ ? palette().color(QPalette::WindowText) : text);
        painter.drawText(QPoint(chip.rect.left() + chipPadding, baseline()), chip.text);
    }
    const int left = chips.isEmpty() ? 0 : chips.back().rect.right() + 1 + summaryGap;
    painter.setFont(font());
    painter.setPen(text);
    painter.drawText(QPoint(left, baseline()),
                     fontMetrics().elidedText(summary_, Qt::ElideRight, width() - left));
}

int DetailLine::chipAt(QPoint point) const
{
    const QList<Chip> chips = this->chips();
    for (qsizetype i = 0; i < chips.size(); ++i) {
        // The whole height of the line answers, not only the chip's ground.
        const QRect &r = chips[i].rect;
        if (point.x() >= r.left() && point.x() <= r.right())
            return int(i);
    }
    return -1;
}

void DetailLine::mouseMoveEvent(QMouseEvent *event)
{
    const int at = chipAt(event->position().toPoint());
    if (at != hovered_) {
        hovered_ = at;
        setCursor(at >= 0 ? Qt::PointingHandCursor : Qt::ArrowCursor);
        update();
    }
    // Outside the chips the row below decides (it opens the breakdown on a click).
    event->setAccepted(at >= 0);
}

void DetailLine::leaveEvent(QEvent *event)
{
    hovered_ = -1;
    unsetCursor();
    update();
    QWidget::leaveEvent(event);
}

void DetailLine::mouseReleaseEvent(QMouseEvent *event)
{
    const int at = chipAt(event->position().toPoint());
    if (event->button() != Qt::LeftButton || at < 0) {
        event->ignore(); // a click beside the chips is the row's
        return;
    }
    const Chip chip = chips().at(at);
    if (chip.port)
        emit portClicked(chip.port);
    else
        showHidden(mapToGlobal(chip.rect.bottomLeft()));
}

bool DetailLine::event(QEvent *event)
{
    if (event->type() == QEvent::ToolTip) {
        auto *help = static_cast<QHelpEvent *>(event);
        const int at = chipAt(help->pos());
        const QString shown = fontMetrics().elidedText(summary_, Qt::ElideRight, width());
        QString tip;
        if (at >= 0)
            tip = chips().at(at).port ? texts::openPortHelp.arg(chips().at(at).port)
                                      : texts::morePortsHelp;
        else if (shown != summary_)
            tip = summary_;
        if (tip.isEmpty())
            QToolTip::hideText();
        else
            QToolTip::showText(help->globalPos(), tip, this);
        return true;
    }
    return QWidget::event(event);
}

void DetailLine::showHidden(QPoint at)
{
    const QList<Chip> chips = this->chips();
    QMenu menu(this);
    for (qsizetype i = chips.size() - 1; i < ports_.size(); ++i) {
        const int64_t port = ports_[i];
        menu.addAction(texts::openPortHelp.arg(port), this,
                       [this, port] { emit portClicked(port); });
    }
    menu.exec(at);
}

} // namespace nimbrel::ui
