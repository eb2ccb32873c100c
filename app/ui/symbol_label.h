// One of our symbols shown as a tinted picture.
#pragma once

#include <QColor>
#include <QLabel>

namespace nimbrel::ui {

class SymbolLabel : public QLabel
{
public:
    SymbolLabel(int size, QWidget *parent = nullptr);
    void setSymbol(const QString &name, const QColor &color);

private:
    int size_;
    QString name_;
    QColor color_;
};

} // namespace nimbrel::ui
