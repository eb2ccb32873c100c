// A borderless button showing one of our symbols.
#pragma once

#include "app/ui/style.h"

#include <QToolButton>

namespace nimbrel::ui {

class SymbolButton : public QToolButton
{
public:
    SymbolButton(int symbolSize, QSize frame, QWidget *parent = nullptr);
    // Changes the symbol and its tone; unchanged values cost nothing.
    void setSymbol(const QString &name, Tone tone = Tone::secondary);

protected:
    void changeEvent(QEvent *event) override;

private:
    void repaintSymbol();
    int symbolSize_;
    QString name_;
    Tone tone_ = Tone::secondary;
};

} // namespace nimbrel::ui
