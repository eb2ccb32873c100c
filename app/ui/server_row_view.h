// One app of the panel's list, and the breakdown of its processes under it.
#pragma once

#include "app/server_row.h"
#include "app/ui/widgets.h"

#include <QList>
#include <QWidget>

#include <functional>

namespace nimbrel {

class Monitor;

namespace ui {

class ServerRowView : public QWidget
{
    Q_OBJECT

public:
    explicit ServerRowView(Monitor &monitor, QWidget *parent = nullptr);

    // Shows `row`; `now` is the instant the "最終利用" text counts to.
    void setRow(const ServerRow &row, bool busy, bool expanded, Instant now);
    const ServerRow &row() const { return row_; }
    // Running with two processes or more: a click opens the breakdown.
    bool isExpandable() const;

    // "ポート 3000　3プロセス　最終利用 2時間前", or "停止中".
    static QString detail(const ServerRow &row, Instant now);
    // "12.3%".
    static QString cpuText(double percent);

signals:
    void toggleDetail();

protected:
    void mouseReleaseEvent(QMouseEvent *event) override;
    void changeEvent(QEvent *event) override;

private:
    void openInBrowser() const;
    void applyTones();

    Monitor &monitor_;
    ServerRow row_;
    bool busy_ = false;
    bool expanded_ = false;

    StatusDot *dot_;
    ElidedLabel *name_;
    SymbolLabel *pinMark_;
    SymbolLabel *chevron_;
    ElidedLabel *detail_;
    QLabel *cpu_;
    QLabel *memory_;
    Spinner *spinner_;
    SymbolButton *runButton_;
    SymbolButton *pinButton_;
    SymbolButton *openButton_;
};

class ProcessBreakdownView : public QWidget
{
    Q_OBJECT

public:
    explicit ProcessBreakdownView(QWidget *parent = nullptr);
    void setProcesses(const QList<ProcessRow> &processes);

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    struct Line
    {
        QWidget *widget;
        QLabel *pid;
        ElidedLabel *label;
        QLabel *memory;
    };
    Line makeLine();

    QList<Line> lines_;
    QList<ProcessRow> processes_;
};

} // namespace ui
} // namespace nimbrel
