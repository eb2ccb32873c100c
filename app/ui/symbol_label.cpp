#include "app/ui/symbol_label.h"

#include "app/ui/style.h"

namespace nimbrel::ui {

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

} // namespace nimbrel::ui
