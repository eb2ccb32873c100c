// One app of the panel's list: status, name, summary, CPU and memory, and its three buttons.
#pragma once

#include "app/server_row.h"

#include <QWidget>

class QLabel;
class QToolButton;

namespace nimbrel::ui {

class DetailLine;
class ElidedLabel;
class Spinner;
class StatusDot;
class SymbolButton;
class SymbolLabel;

// Shows a row and says what the user asked for; the panel passes that on to the monitor.
class ServerRowView : public QWidget
{
    Q_OBJECT

public:
    explicit ServerRowView(QWidget *parent = nullptr);

    // Shows `row`; `now` is the instant the "最終利用" text counts to.
    void setRow(const ServerRow &row, bool busy, bool expanded, Instant now);
    const ServerRow &row() const { return row_; }
    // Running with two processes or more, or stopped and held: a click opens the breakdown.
    bool isExpandable() const;
    static bool opensBreakdown(const ServerRow &row);
    // The keyboard's row: a stronger ground than the pointer's.
    void setSelected(bool selected);
    bool isSelected() const { return selected_; }
    // Enter on the keyboard's row: the breakdown, or the page of a row of one process.
    void activate();

    // "3プロセス　最終利用 2時間前" after the port chips, or "停止中".
    static QString detail(const ServerRow &row, Instant now);
    // "12.3%".
    static QString cpuText(double percent);

signals:
    // Start (`running` true) or stop the app of this name.
    void runningRequested(const QString &name, bool running);
    void pinToggleRequested(const QString &name);
    // The log window of the app of this name (rows without a breakdown carry the button).
    void logsRequested(const QString &name);
    void toggleDetail();

protected:
    void mouseReleaseEvent(QMouseEvent *event) override;
    void changeEvent(QEvent *event) override;
    void paintEvent(QPaintEvent *event) override;

private:
    void openInBrowser() const;
    void applyTones();

    ServerRow row_;
    bool busy_ = false;
    bool expanded_ = false;
    bool selected_ = false;

    StatusDot *dot_;
    ElidedLabel *name_;
    SymbolLabel *pinMark_;
    SymbolLabel *chevron_;
    DetailLine *detail_;
    QLabel *cpu_;
    QLabel *memory_;
    Spinner *spinner_;
    SymbolButton *runButton_;
    SymbolButton *pinButton_;
    SymbolButton *openButton_;
    QToolButton *logsButton_;
};

} // namespace nimbrel::ui
