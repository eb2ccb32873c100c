// The warning under a row whose app left processes behind: how many, the ports they hold, and a
// button that ends them.
#pragma once

#include "app/strays/stray_scan.h"

#include <QList>
#include <QWidget>

namespace nimbrel::ui {

class ElidedLabel;
class SymbolButton;

class StrayLineView : public QWidget
{
    Q_OBJECT

public:
    explicit StrayLineView(QWidget *parent = nullptr);
    // The panel shows the line only when there are strays.
    void setStrays(const QString &name, const QList<Strays::Stray> &strays);
    bool hasStrays() const { return count_ > 0; }
    // "残留プロセス 2　ポート 3000, 3001".
    static QString text(const QList<Strays::Stray> &strays);

signals:
    void endRequested(const QString &name);

protected:
    void changeEvent(QEvent *event) override;

private:
    QString name_;
    qsizetype count_ = 0;
    ElidedLabel *text_;
    SymbolButton *end_;
};

} // namespace nimbrel::ui
