#include "app/ui/server_row_view.h"

#include "app/monitor.h"
#include "core/format.h"
#include "core/panel_geometry.h"

#include <QDesktopServices>
#include <QEvent>
#include <QHBoxLayout>
#include <QMouseEvent>
#include <QPainter>
#include <QVBoxLayout>

namespace nimbrel::ui {

namespace {

const QSize buttonFrame(22, 20);
constexpr int buttonSymbolSize = 11;

QLabel *columnLabel(int width, const QFont &font, QWidget *parent)
{
    auto *label = new QLabel(parent);
    label->setFont(font);
    label->setFixedWidth(width);
    label->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    return label;
}

} // namespace

ServerRowView::ServerRowView(Monitor &monitor, QWidget *parent)
    : QWidget(parent), monitor_(monitor), dot_(new StatusDot(this)), name_(new ElidedLabel(this)),
      pinMark_(new SymbolLabel(9, this)), chevron_(new SymbolLabel(9, this)),
      detail_(new ElidedLabel(this)), cpu_(columnLabel(52, digitsFontOf(12), this)),
      memory_(columnLabel(62, digitsFontOf(12, QFont::Medium), this)), spinner_(new Spinner(this)),
      runButton_(new SymbolButton(buttonSymbolSize, buttonFrame, this)),
      pinButton_(new SymbolButton(buttonSymbolSize, buttonFrame, this)),
      openButton_(new SymbolButton(buttonSymbolSize, buttonFrame, this))
{
    // The row and the divider under it make the 50 pixels the list height counts per row.
    setFixedHeight(int(PanelGeometry::rowHeight) - 1);
    setAttribute(Qt::WA_Hover);
    name_->setFont(fontOf(13, QFont::Medium));
    detail_->setFont(fontOf(11));
    name_->setObjectName(QStringLiteral("name"));
    detail_->setObjectName(QStringLiteral("detail"));
    cpu_->setObjectName(QStringLiteral("cpu"));
    memory_->setObjectName(QStringLiteral("memory"));
    spinner_->setObjectName(QStringLiteral("busy"));
    runButton_->setObjectName(QStringLiteral("run"));
    pinButton_->setObjectName(QStringLiteral("pin"));
    openButton_->setObjectName(QStringLiteral("open"));
    chevron_->setObjectName(QStringLiteral("chevron"));
    pinMark_->setObjectName(QStringLiteral("pinMark"));

    auto *nameLine = new QHBoxLayout;
    nameLine->setSpacing(6);
    nameLine->addWidget(name_, 0);
    nameLine->addWidget(pinMark_);
    nameLine->addWidget(chevron_);
    nameLine->addStretch(1);

    auto *texts = new QVBoxLayout;
    texts->setSpacing(2);
    texts->addLayout(nameLine);
    texts->addWidget(detail_);

    auto *layout = new QHBoxLayout(this);
    layout->setContentsMargins(16, 9, 16, 9);
    layout->setSpacing(10);
    layout->addWidget(dot_);
    layout->addLayout(texts, 1);
    layout->addWidget(cpu_);
    layout->addWidget(memory_);
    layout->addWidget(spinner_);
    layout->addWidget(runButton_);
    layout->addWidget(pinButton_);
    layout->addWidget(openButton_);

    openButton_->setSymbol(QStringLiteral("arrow.up.forward.app"));
    openButton_->setToolTip(QStringLiteral("ブラウザで開く"));
    connect(runButton_, &QToolButton::clicked, this,
            [this] { monitor_.setRunning(row_.app.name, !row_.app.isRunning()); });
    connect(pinButton_, &QToolButton::clicked, this, [this] { monitor_.togglePin(row_.app.name); });
    connect(openButton_, &QToolButton::clicked, this, [this] { openInBrowser(); });
    spinner_->hide();
    applyTones();
}

void ServerRowView::setRow(const ServerRow &row, bool busy, bool expanded, Instant now)
{
    row_ = row;
    busy_ = busy;
    expanded_ = expanded;
    const bool running = row.app.isRunning();

    name_->setText(row.app.name);
    detail_->setText(detail(row, now));
    dot_->setColor(running ? runningGreen() : textColorAt(palette(), 0.55 * 0.4));
    pinMark_->setVisible(row.pinned);
    chevron_->setVisible(isExpandable());
    chevron_->setSymbol(expanded ? QStringLiteral("chevron.down") : QStringLiteral("chevron.right"),
                        toneColor(palette(), Tone::secondary));

    cpu_->setVisible(running);
    memory_->setVisible(running);
    if (running) {
        cpu_->setText(cpuText(row.cpuPercent));
        // The colour follows the value, not the rounded text: 4.96 reads 5.0% but stays quiet.
        setTone(cpu_, row.cpuPercent >= 5 ? Tone::primary : Tone::secondary);
        memory_->setText(Format::memory(row.memoryBytes));
    }

    spinner_->setVisible(busy);
    runButton_->setVisible(!busy);
    runButton_->setSymbol(running ? QStringLiteral("stop.fill") : QStringLiteral("play.fill"));
    runButton_->setToolTip(running ? QStringLiteral("止める") : QStringLiteral("起動する"));
    pinButton_->setSymbol(row.pinned ? QStringLiteral("pin.slash") : QStringLiteral("pin"));
    pinButton_->setToolTip(row.pinned ? QStringLiteral("自動で止める対象に戻す")
                                      : QStringLiteral("自動で止めない"));
    openButton_->setEnabled(row.url().has_value());
    setCursor(isExpandable() ? Qt::PointingHandCursor : Qt::ArrowCursor);
}

bool ServerRowView::isExpandable() const
{
    return row_.app.isRunning() && row_.processes.size() >= 2;
}

QString ServerRowView::detail(const ServerRow &row, Instant now)
{
    if (!row.app.isRunning())
        return QStringLiteral("停止中");
    QStringList pieces;
    if (!row.ports.isEmpty())
        pieces.append(QStringLiteral("ポート ") + QString::number(row.ports.front()));
    if (row.processes.size() >= 2)
        pieces.append(QString::number(row.processes.size()) + QStringLiteral("プロセス"));
    if (row.lastActive)
        pieces.append(QStringLiteral("最終利用 ") + Format::elapsed(*row.lastActive, now) +
                      QStringLiteral("前"));
    return pieces.join(QChar(0x3000));
}

QString ServerRowView::cpuText(double percent)
{
    return QString::number(percent, 'f', 1) + u'%';
}

void ServerRowView::mouseReleaseEvent(QMouseEvent *event)
{
    if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint()) &&
        isExpandable())
        emit toggleDetail();
    QWidget::mouseReleaseEvent(event);
}

void ServerRowView::changeEvent(QEvent *event)
{
    QWidget::changeEvent(event);
    if (event->type() == QEvent::PaletteChange)
        applyTones();
}

void ServerRowView::applyTones()
{
    detail_->setColor(toneColor(palette(), Tone::secondary));
    setTone(memory_, Tone::secondary);
    pinMark_->setSymbol(QStringLiteral("pin.fill"), pinOrange());
}

void ServerRowView::openInBrowser() const
{
    if (const std::optional<QUrl> url = row_.url(); url && url->isValid())
        QDesktopServices::openUrl(*url);
}

ProcessBreakdownView::ProcessBreakdownView(QWidget *parent) : QWidget(parent)
{
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, int(PanelGeometry::breakdownBottomMargin));
    layout->setSpacing(0);
}

ProcessBreakdownView::Line ProcessBreakdownView::makeLine()
{
    auto *widget = new QWidget(this);
    widget->setFixedHeight(int(PanelGeometry::breakdownLineHeight));
    auto *layout = new QHBoxLayout(widget);
    layout->setContentsMargins(34, 4, 16, 4);
    layout->setSpacing(8);
    Line line{widget, columnLabel(52, digitsFontOf(11), widget), new ElidedLabel(widget),
              columnLabel(62, digitsFontOf(11), widget)};
    line.label->setFont(fontOf(11));
    line.label->setColor(toneColor(palette(), Tone::secondary));
    setTone(line.pid, Tone::tertiary);
    setTone(line.memory, Tone::secondary);
    layout->addWidget(line.pid);
    layout->addWidget(line.label, 1);
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
        lines_[i].pid->setText(QString::number(processes[i].pid));
        lines_[i].label->setText(processes[i].label());
        lines_[i].memory->setText(Format::memory(processes[i].residentBytes));
    }
    setFixedHeight(int(processes.size() * PanelGeometry::breakdownLineHeight +
                       PanelGeometry::breakdownBottomMargin));
}

void ProcessBreakdownView::paintEvent(QPaintEvent *)
{
    QPainter(this).fillRect(rect(), textColorAt(palette(), 0.035));
}

} // namespace nimbrel::ui
