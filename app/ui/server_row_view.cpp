#include "app/ui/server_row_view.h"

#include "app/ui/detail_line.h"
#include "app/ui/elided_label.h"
#include "app/ui/list_columns.h"
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

const QSize buttonFrame(ListColumns::buttonWidth, ListColumns::buttonHeight);
constexpr int buttonSymbolSize = 11;

QUrl pageAt(int64_t port)
{
    return QUrl(QStringLiteral("http://localhost:%1").arg(port));
}

} // namespace

ServerRowView::ServerRowView(QWidget *parent)
    : QWidget(parent), dot_(new StatusDot(this)), name_(new ElidedLabel(this)),
      pinMark_(new SymbolLabel(9, this)), chevron_(new SymbolLabel(9, this)),
      detail_(new DetailLine(this)),
      cpu_(columnLabel(ListColumns::cpuWidth, digitsFontOf(12), this)),
      memory_(columnLabel(ListColumns::memoryWidth, digitsFontOf(12, QFont::Medium), this)),
      spinner_(new Spinner(this)),
      runButton_(new SymbolButton(buttonSymbolSize, buttonFrame, this)),
      pinButton_(new SymbolButton(buttonSymbolSize, buttonFrame, this)),
      openButton_(new SymbolButton(buttonSymbolSize, buttonFrame, this)),
      logsButton_(ProcessBreakdownView::logsButton(this))
{
    // The row and the divider under it make the 50 pixels the list height counts per row.
    setFixedHeight(int(PanelGeometry::rowHeight) - 1);
    setAttribute(Qt::WA_Hover);
    name_->setFont(fontOf(13, QFont::Medium));
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
    layout->setContentsMargins(ListColumns::inset, 9, ListColumns::inset, 9);
    layout->setSpacing(ListColumns::gap);
    layout->addWidget(dot_);
    layout->addLayout(texts, 1);
    layout->addWidget(cpu_);
    layout->addWidget(memory_);
    layout->addWidget(spinner_);
    layout->addWidget(runButton_);
    layout->addWidget(pinButton_);
    layout->addWidget(openButton_);
    layout->addWidget(logsButton_);
    // Where the button shows in the breakdown instead, its column stays.
    QSizePolicy keep = logsButton_->sizePolicy();
    keep.setRetainSizeWhenHidden(true);
    logsButton_->setSizePolicy(keep);

    openButton_->setSymbol(QStringLiteral("arrow.up.forward.app"));
    openButton_->setToolTip(texts::openHelp);
    connect(runButton_, &QToolButton::clicked, this,
            [this] { emit runningRequested(row_.app.name, !row_.app.isRunning()); });
    connect(pinButton_, &QToolButton::clicked, this,
            [this] { emit pinToggleRequested(row_.app.name); });
    connect(openButton_, &QToolButton::clicked, this, [this] { openInBrowser(); });
    connect(logsButton_, &QToolButton::clicked, this,
            [this] { emit logsRequested(row_.app.name); });
    connect(detail_, &DetailLine::portClicked, this,
            [](int64_t port) { QDesktopServices::openUrl(pageAt(port)); });
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
    detail_->setContent(running ? row.ports : QList<int64_t>(), detail(row, now));
    dot_->setColor(running ? runningGreen()
                   : row.app.status == PM2App::Status::errored
                       ? erroredRed()
                       : textColorAt(palette(), 0.55 * 0.4));
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
    return opensBreakdown(row_);
}

bool ServerRowView::opensBreakdown(const ServerRow &row)
{
    return (row.app.isRunning() && row.processes.size() >= 2) ||
           (!row.app.isRunning() && row.waiting);
}

void ServerRowView::setSelected(bool selected)
{
    if (std::exchange(selected_, selected) != selected)
        update();
}

void ServerRowView::activate()
{
    if (isExpandable())
        emit toggleDetail();
    else if (row_.app.isRunning())
        openInBrowser();
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
    // pm2's restarts tell a crash loop from a quiet server, running or given up on.
    const QString restarts =
        row.app.restarts > 0 ? texts::restarts.arg(row.app.restarts) : QString();
    QStringList pieces;
    if (!row.app.isRunning()) {
        pieces.append(row.app.status == PM2App::Status::errored ? texts::errored : texts::stopped);
        if (!restarts.isEmpty() && row.app.status == PM2App::Status::errored)
            pieces.append(restarts);
        return pieces.join(QChar(0x3000));
    }
    // The ports stand before this text as chips.
    if (row.processes.size() >= 2)
        pieces.append(QString::number(row.processes.size()) + texts::processes);
    if (!restarts.isEmpty())
        pieces.append(restarts);
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
    // Every row answers the pointer as a list item does; the keyboard's row stands out more.
    if (!selected_ && !underMouse())
        return;
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(selected_ ? selectionGround(palette()) : textColorAt(palette(), 0.05));
    const QRectF ground =
        QRectF(rect()).adjusted(ListColumns::groundInsetX, ListColumns::groundInsetY,
                                -ListColumns::groundInsetX, -ListColumns::groundInsetY);
    painter.drawRoundedRect(ground, ListColumns::groundRadius, ListColumns::groundRadius);
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
    update();
    setTone(memory_, Tone::secondary);
    pinMark_->setSymbol(QStringLiteral("pin.fill"), pinOrange());
}

void ServerRowView::openInBrowser() const
{
    if (const std::optional<QUrl> url = row_.url(); url && url->isValid())
        QDesktopServices::openUrl(*url);
}

} // namespace nimbrel::ui
