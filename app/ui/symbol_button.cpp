#include "app/ui/symbol_button.h"

#include <QEvent>

namespace nimbrel::ui {

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

} // namespace nimbrel::ui
