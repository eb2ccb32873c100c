#include "app/ui/widgets.h"

#include <QButtonGroup>
#include <QEvent>
#include <QHBoxLayout>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>

namespace nimbrel::ui {

Divider::Divider(int indent, QWidget *parent) : QWidget(parent), indent_(indent)
{
    setFixedHeight(1);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
}

void Divider::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    const int left = layoutDirection() == Qt::LeftToRight ? indent_ : 0;
    painter.fillRect(QRect(left, 0, width() - indent_, 1), textColorAt(palette(), 0.12));
}

RoundedGround::RoundedGround(double radius, std::function<QColor(const QPalette &)> fill,
                             QWidget *parent)
    : QWidget(parent), radius_(radius), fill_(std::move(fill))
{}

void RoundedGround::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(fill_(palette()));
    painter.drawRoundedRect(QRectF(rect()), radius_, radius_);
}

ElidedLabel::ElidedLabel(QWidget *parent) : QWidget(parent)
{
    setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
}

void ElidedLabel::setText(const QString &text)
{
    if (text == text_)
        return;
    text_ = text;
    updateGeometry();
    update();
}

void ElidedLabel::setColor(const QColor &color)
{
    if (color == color_)
        return;
    color_ = color;
    update();
}

QSize ElidedLabel::sizeHint() const
{
    const QFontMetrics metrics(font());
    return {metrics.horizontalAdvance(text_) + 1, metrics.height()};
}

QSize ElidedLabel::minimumSizeHint() const
{
    return {0, QFontMetrics(font()).height()};
}

void ElidedLabel::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setPen(color_.isValid() ? color_ : palette().color(QPalette::WindowText));
    const QString shown = fontMetrics().elidedText(text_, Qt::ElideRight, width());
    painter.drawText(rect(), int(alignment_) | Qt::TextSingleLine, shown);
}

StatusDot::StatusDot(QWidget *parent) : QWidget(parent)
{
    setFixedSize(8, 8);
}

void StatusDot::setColor(const QColor &color)
{
    if (color == color_)
        return;
    color_ = color;
    update();
}

void StatusDot::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(color_);
    painter.drawEllipse(QRectF(rect()));
}

Spinner::Spinner(QWidget *parent) : QWidget(parent)
{
    setFixedSize(22, 20);
    timer_.setInterval(80);
    connect(&timer_, &QTimer::timeout, this, [this] {
        angle_ = (angle_ + 30) % 360;
        update();
    });
}

void Spinner::showEvent(QShowEvent *)
{
    timer_.start();
}

void Spinner::hideEvent(QHideEvent *)
{
    timer_.stop();
}

void Spinner::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    QPen pen(toneColor(palette(), Tone::secondary), 1.6);
    pen.setCapStyle(Qt::RoundCap);
    painter.setPen(pen);
    const QRectF circle(QPointF(width() / 2.0 - 5.5, height() / 2.0 - 5.5), QSizeF(11, 11));
    painter.drawArc(circle, -angle_ * 16, 270 * 16);
}

SymbolButton::SymbolButton(int symbolSize, QSize frame, QWidget *parent)
    : QToolButton(parent), symbolSize_(symbolSize)
{
    setAutoRaise(true);
    setFixedSize(frame);
    setIconSize(QSize(symbolSize, symbolSize));
    setCursor(Qt::ArrowCursor);
    setFocusPolicy(Qt::NoFocus);
}

void SymbolButton::setSymbol(const QString &name, Tone tone)
{
    if (name == name_ && tone == tone_)
        return;
    name_ = name;
    tone_ = tone;
    repaintSymbol();
}

void SymbolButton::changeEvent(QEvent *event)
{
    QToolButton::changeEvent(event);
    if (event->type() == QEvent::PaletteChange || event->type() == QEvent::EnabledChange)
        repaintSymbol();
}

void SymbolButton::repaintSymbol()
{
    if (name_.isEmpty())
        return;
    QColor color = toneColor(palette(), tone_);
    if (!isEnabled())
        color = textColorAt(palette(), 0.2);
    setIcon(symbolIcon(name_, symbolSize_, color));
}

SymbolLabel::SymbolLabel(int size, QWidget *parent) : QLabel(parent), size_(size)
{
    setFixedSize(size, size);
}

void SymbolLabel::setSymbol(const QString &name, const QColor &color)
{
    if (name == name_ && color == color_)
        return;
    name_ = name;
    color_ = color;
    setPixmap(symbol(name, size_, color, devicePixelRatioF()));
}

SegmentedControl::SegmentedControl(const QStringList &segments, QWidget *parent)
    : QFrame(parent), group_(new QButtonGroup(this))
{
    auto *layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    for (int i = 0; i < segments.size(); ++i) {
        auto *segment = new QPushButton(segments[i], this);
        segment->setCheckable(true);
        segment->setFont(fontOf(12));
        segment->setFocusPolicy(Qt::NoFocus);
        segment->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
        segment->setObjectName(QStringLiteral("segment%1").arg(i));
        group_->addButton(segment, i);
        layout->addWidget(segment);
    }
    group_->setExclusive(true);
    connect(group_, &QButtonGroup::idClicked, this, &SegmentedControl::activated);
}

int SegmentedControl::current() const
{
    return group_->checkedId();
}

void SegmentedControl::setCurrent(int index)
{
    if (QAbstractButton *button = group_->button(index))
        button->setChecked(true);
}

ToggleSwitch::ToggleSwitch(QWidget *parent) : QAbstractButton(parent)
{
    setCheckable(true);
    setCursor(Qt::PointingHandCursor);
    setFixedSize(sizeHint());
}

void ToggleSwitch::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF track = QRectF(rect()).adjusted(1, 1, -1, -1);
    const QColor on = palette().color(QPalette::Highlight);
    painter.setPen(Qt::NoPen);
    painter.setBrush(isChecked() ? on : textColorAt(palette(), 0.18));
    painter.drawRoundedRect(track, track.height() / 2, track.height() / 2);
    const double knob = track.height() - 4;
    const double x = isChecked() ? track.right() - 2 - knob : track.left() + 2;
    painter.setBrush(Qt::white);
    painter.drawEllipse(QRectF(x, track.top() + 2, knob, knob));
}

} // namespace nimbrel::ui
