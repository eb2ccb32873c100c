// The processes of one app under its row: pid, label and resident memory, largest first.
#pragma once

#include "core/process_tree.h"

#include <QList>
#include <QWidget>

class QLabel;

namespace nimbrel::ui {

class ElidedLabel;

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

} // namespace nimbrel::ui
