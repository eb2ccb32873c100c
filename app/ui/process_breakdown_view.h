// The processes of one app under its row: pid, label, CPU and resident memory, largest first.
#pragma once

#include "app/server_row.h"
#include "core/process_tree.h"

#include <QList>
#include <QWidget>

class QLabel;
class QToolButton;

namespace nimbrel::ui {

class ElidedLabel;

class ProcessBreakdownView : public QWidget
{
    Q_OBJECT

public:
    explicit ProcessBreakdownView(QWidget *parent = nullptr);
    void setProcesses(const QList<ProcessRow> &processes);
    // A stopped app's held ports, one line under the processes with the button that lets go.
    void setWaiting(const std::optional<ServerRow::Waiting> &waiting);

    // The small "ログ" button, here at the breakdown's first line and on rows without one.
    static QToolButton *logsButton(QWidget *parent);

signals:
    void logsRequested();
    void letGoRequested();

protected:
    void paintEvent(QPaintEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;

private:
    struct Line
    {
        QWidget *widget;
        QLabel *pid;
        ElidedLabel *label;
        QLabel *cpu;
        QLabel *memory;
    };
    Line makeLine();

    void fitHeight();

    QList<Line> lines_;
    QList<ProcessRow> processes_;
    QToolButton *logs_;
    QWidget *waitingLine_ = nullptr;
    ElidedLabel *waitingLabel_ = nullptr;
};

} // namespace nimbrel::ui
