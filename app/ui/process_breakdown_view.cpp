#include "app/ui/process_breakdown_view.h"

#include "app/ui/elided_label.h"
#include "app/ui/list_columns.h"
#include "app/ui/server_row_view.h"
#include "app/ui/style.h"
#include "app/ui/texts.h"
#include "core/format.h"
#include "core/panel_geometry.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QToolButton>
#include <QVBoxLayout>

namespace nimbrel::ui {

namespace {

const QSize logsButtonSize(ListColumns::logsWidth, 18);
constexpr int trailingMargin = ListColumns::inset;

} // namespace

QToolButton *ProcessBreakdownView::logsButton(QWidget *parent)
{
    auto *button = new QToolButton(parent);
    button->setObjectName(QStringLiteral("logs"));
    button->setText(texts::logs);
    button->setToolTip(texts::logsHelp);
    button->setFont(fontOf(11));
    button->setAutoRaise(true);
    button->setFixedSize(logsButtonSize);
    button->setCursor(Qt::PointingHandCursor);
    return button;
}

ProcessBreakdownView::ProcessBreakdownView(QWidget *parent)
    : QWidget(parent), logs_(logsButton(this))
{
    connect(logs_, &QToolButton::clicked, this, &ProcessBreakdownView::logsRequested);
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, int(PanelGeometry::breakdownBottomMargin));
    layout->setSpacing(0);
}

ProcessBreakdownView::Line ProcessBreakdownView::makeLine()
{
    using namespace ListColumns;
    auto *widget = new QWidget(this);
    widget->setFixedHeight(int(PanelGeometry::breakdownLineHeight));
    auto *layout = new QHBoxLayout(widget);
    // CPU and memory stand in the row's columns; right of them the room of the row's buttons,
    // where the logs button sits over the first line.
    layout->setContentsMargins(textStart, 4, afterMemory, 4);
    layout->setSpacing(gap);
    Line line{widget, columnLabel(cpuWidth, digitsFontOf(11), widget), new ElidedLabel(widget),
              columnLabel(cpuWidth, digitsFontOf(11), widget),
              columnLabel(memoryWidth, digitsFontOf(11), widget)};
    line.label->setFont(fontOf(11));
    line.label->setColor(toneColor(palette(), Tone::secondary));
    setTone(line.pid, Tone::tertiary);
    setTone(line.memory, Tone::secondary);
    line.pid->setObjectName(QStringLiteral("pid"));
    line.cpu->setObjectName(QStringLiteral("processCPU"));
    line.memory->setObjectName(QStringLiteral("processMemory"));
    layout->addWidget(line.pid);
    layout->addWidget(line.label, 1);
    layout->addWidget(line.cpu);
    layout->addWidget(line.memory);
    return line;
}

void ProcessBreakdownView::setProcesses(const QList<ProcessRow> &processes)
{
    if (processes == processes_)
        return;
    processes_ = processes;
    while (lines_.size() < processes.size()) {
        lines_.append(makeLine());
        static_cast<QVBoxLayout *>(layout())->addWidget(lines_.back().widget);
    }
    for (qsizetype i = 0; i < lines_.size(); ++i) {
        const bool used = i < processes.size();
        lines_[i].widget->setVisible(used);
        if (!used)
            continue;
        const ProcessRow &process = processes[i];
        lines_[i].pid->setText(QString::number(process.pid));
        lines_[i].label->setText(process.label());
        lines_[i].cpu->setText(ServerRowView::cpuText(process.cpuPercent));
        // As in the row: the figure speaks up only when the process is busy.
        setTone(lines_[i].cpu, process.cpuPercent >= 5 ? Tone::primary : Tone::secondary);
        lines_[i].memory->setText(Format::memory(process.residentBytes));
    }
    fitHeight();
}

void ProcessBreakdownView::setWaiting(const std::optional<ServerRow::Waiting> &waiting)
{
    if (!waitingLine_) {
        waitingLine_ = new QWidget(this);
        waitingLine_->setFixedHeight(int(PanelGeometry::breakdownLineHeight));
        auto *layout = new QHBoxLayout(waitingLine_);
        layout->setContentsMargins(34, 0, trailingMargin + logsButtonSize.width() + 8, 0);
        layout->setSpacing(8);
        waitingLabel_ = new ElidedLabel(waitingLine_);
        waitingLabel_->setFont(fontOf(11));
        waitingLabel_->setColor(toneColor(palette(), Tone::secondary));
        auto *letGo = new QPushButton(texts::letGo, waitingLine_);
        letGo->setObjectName(QStringLiteral("letGo"));
        letGo->setToolTip(texts::letGoHelp);
        letGo->setFlat(true);
        letGo->setFont(fontOf(11));
        connect(letGo, &QPushButton::clicked, this, &ProcessBreakdownView::letGoRequested);
        layout->addWidget(waitingLabel_, 1);
        layout->addWidget(letGo);
        static_cast<QVBoxLayout *>(this->layout())->addWidget(waitingLine_);
    }
    QStringList ports;
    for (const int64_t port : waiting ? waiting->held : QList<int64_t>{})
        ports.append(QString::number(port));
    waitingLabel_->setText(texts::heldPorts + ports.join(QStringLiteral(" :")));
    waitingLine_->setVisible(waiting.has_value());
    fitHeight();
}

void ProcessBreakdownView::fitHeight()
{
    const bool waiting = waitingLine_ && !waitingLine_->isHidden();
    setFixedHeight(
        int((processes_.size() + (waiting ? 1 : 0)) * PanelGeometry::breakdownLineHeight +
            PanelGeometry::breakdownBottomMargin));
}

void ProcessBreakdownView::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    logs_->move(width() - trailingMargin - logs_->width(),
                int(PanelGeometry::breakdownLineHeight - logs_->height()) / 2);
    logs_->raise();
}

void ProcessBreakdownView::paintEvent(QPaintEvent *)
{
    QPainter(this).fillRect(rect(), textColorAt(palette(), 0.035));
}

} // namespace nimbrel::ui
