#include "app/ui/server_row_view.h"

#include "app/ui/elided_label.h"
#include "app/ui/process_breakdown_view.h"
#include "app/ui/spinner.h"
#include "app/ui/status_dot.h"
#include "app/ui/symbol_button.h"
#include "app/ui/symbol_label.h"
#include "app/ui/texts.h"
#include "core/format.h"
#include "core/panel_geometry.h"

#include <QDesktopServices>
#include <QEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QToolButton>
#include <QVBoxLayout>

namespace nimbrel::ui {

namespace {

const QSize buttonFrame(22, 20);
constexpr int buttonSymbolSize = 11;

} // namespace

ServerRowView::ServerRowView(QWidget *parent)
    : QWidget(parent), dot_(new StatusDot(this)), name_(new ElidedLabel(this)),
      pinMark_(new SymbolLabel(9, this)), chevron_(new SymbolLabel(9, this)),
      detail_(new ElidedLabel(this)), cpu_(columnLabel(52, digitsFontOf(12), this)),
      memory_(columnLabel(62, digitsFontOf(12, QFont::Medium), this)), spinner_(new Spinner(this)),
      runButton_(new SymbolButton(buttonSymbolSize, buttonFrame, this)),
      pinButton_(new SymbolButton(buttonSymbolSize, buttonFrame, this)),
      openButton_(new SymbolButton(buttonSymbolSize, buttonFrame, this)),
      logsButton_(ProcessBreakdownView::logsButton(this))
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
    layout->addWidget(logsButton_);

    openButton_->setSymbol(QStringLiteral("arrow.up.forward.app"));
    openButton_->setToolTip(texts::openHelp);
    connect(runButton_, &QToolButton::clicked, this,
            [this] { emit runningRequested(row_.app.name, !row_.app.isRunning()); });
    connect(pinButton_, &QToolButton::clicked, this,
            [this] { emit pinToggleRequested(row_.app.name); });
    connect(openButton_, &QToolButton::clicked, this, [this] { openInBrowser(); });
    connect(logsButton_, &QToolButton::clicked, this,
            [this] { emit logsRequested(row_.app.name); });
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
    runButton_->setToolTip(running ? texts::stopHelp : texts::startHelp);
    pinButton_->setSymbol(row.pinned ? QStringLiteral("pin.slash") : QStringLiteral("pin"));
    pinButton_->setToolTip(row.pinned ? texts::unpinHelp : texts::pinHelp);
    openButton_->setEnabled(row.url().has_value());
    logsButton_->setVisible(!isExpandable()); // else it sits in the breakdown
    setCursor(isExpandable() ? Qt::PointingHandCursor : Qt::ArrowCursor);
    update(); // the hover ground follows whether the row can open
}

bool ServerRowView::isExpandable() const
{
    return (row_.app.isRunning() && row_.processes.size() >= 2) ||
           (!row_.app.isRunning() && row_.waiting);
}

QString ServerRowView::detail(const ServerRow &row, Instant now)
{
    if (!row.app.isRunning() && row.waiting) {
        const auto ports = [](const QList<int64_t> &list) {
            QStringList texts;
            for (const int64_t port : list)
                texts.append(QString::number(port));
            return texts.join(QStringLiteral(" :"));
        };
        if (row.waiting->waking)
            return texts::waking;
        QString text = row.waiting->held.isEmpty() ? texts::stopped
                                                   : texts::waiting + ports(row.waiting->held);
        if (!row.waiting->taken.isEmpty())
            text += texts::portsTaken + ports(row.waiting->taken);
        return text;
    }
    if (!row.app.isRunning())
        return texts::stopped;
    QStringList pieces;
    if (!row.ports.isEmpty())
        pieces.append(texts::port + QString::number(row.ports.front()));
    if (row.processes.size() >= 2)
        pieces.append(QString::number(row.processes.size()) + texts::processes);
    if (row.lastActive)
        pieces.append(texts::lastUsed + Format::elapsed(*row.lastActive, now) + texts::ago);
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

void ServerRowView::paintEvent(QPaintEvent *)
{
    // A row that opens shows that it answers the pointer, as a list item does.
    if (underMouse() && isExpandable())
        QPainter(this).fillRect(rect(), textColorAt(palette(), 0.05));
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

} // namespace nimbrel::ui
