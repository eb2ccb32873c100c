#include "app/ui/panel_view.h"

#include "app/monitor.h"
#include "app/store.h"
#include "app/ui/server_row_view.h"
#include "app/ui/widgets.h"
#include "core/format.h"
#include "core/panel_geometry.h"
#include "core/search_filter.h"

#include <QGuiApplication>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPainter>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QVBoxLayout>

#include <limits>

namespace nimbrel::ui {

// The handle under the footer: dragging it down makes the list taller.
class Grabber : public QWidget
{
public:
    explicit Grabber(PanelView &panel) : QWidget(&panel), panel_(panel)
    {
        setObjectName(QStringLiteral("grabber"));
        setFixedHeight(2 + 5 + 7);
        setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
        setCursor(Qt::SizeVerCursor);
        setToolTip(QStringLiteral("上下に引いて高さを変える"));
    }

protected:
    void paintEvent(QPaintEvent *) override
    {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(Qt::NoPen);
        const double opacity = panel_.dragStartHeight_ ? 0.7 : 0.35;
        painter.setBrush(textColorAt(palette(), 0.55 * opacity));
        const QRectF capsule(width() / 2.0 - 21, 2, 42, 5);
        painter.drawRoundedRect(capsule, 2.5, 2.5);
    }
    void mousePressEvent(QMouseEvent *event) override
    {
        if (event->button() == Qt::LeftButton)
            pressedAt_ = event->globalPosition().y();
    }
    void mouseMoveEvent(QMouseEvent *event) override
    {
        if (!pressedAt_)
            return;
        const double translation = event->globalPosition().y() - *pressedAt_;
        if (!dragging_ && std::abs(translation) < 1)
            return; // a drag starts after one pixel
        dragging_ = true;
        panel_.dragChanged(translation);
        update();
    }
    void mouseReleaseEvent(QMouseEvent *) override
    {
        if (dragging_)
            panel_.dragEnded();
        pressedAt_.reset();
        dragging_ = false;
        update();
    }

private:
    PanelView &panel_;
    std::optional<double> pressedAt_;
    bool dragging_ = false;
};

namespace {

QLabel *textLabel(const QString &text, const QFont &font, QWidget *parent)
{
    auto *label = new QLabel(text, parent);
    label->setFont(font);
    return label;
}

} // namespace

PanelView::PanelView(Monitor &monitor, Store &store, Options options, QWidget *parent)
    : QWidget(parent), monitor_(monitor), store_(store), options_(std::move(options))
{
    setObjectName(QStringLiteral("panel"));
    setFixedWidth(panelWidth);
    setAutoFillBackground(true);
    // A height stored on a taller screen (or written by hand) is capped as it is read.
    setHeight_ = std::min(store_.doubleValue(StoreKey::panelHeight),
                          PanelGeometry::greatestHeight(options_.screenHeight()));

    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(makeHeader());
    layout->addWidget(makeSearch());
    layout->addWidget(new Divider(0, this));
    layout->addWidget(makeMissingMessage());

    list_ = new QWidget(this);
    list_->setObjectName(QStringLiteral("list"));
    listLayout_ = new QVBoxLayout(list_);
    listLayout_->setContentsMargins(0, 0, 0, 0);
    listLayout_->setSpacing(0);
    noMatch_ = textLabel({}, fontOf(14), list_);
    noMatch_->setObjectName(QStringLiteral("noMatch"));
    noMatch_->setAlignment(Qt::AlignCenter);
    noMatch_->setContentsMargins(16, 28, 16, 28);
    setTone(noMatch_, Tone::secondary);
    listLayout_->addWidget(noMatch_);
    listLayout_->addStretch(1);
    if (options_.flattened) {
        layout->addWidget(list_);
    } else {
        scroll_ = new QScrollArea(this);
        scroll_->setObjectName(QStringLiteral("scroll"));
        scroll_->setFrameShape(QFrame::NoFrame);
        scroll_->setWidgetResizable(true);
        scroll_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
        scroll_->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
        scroll_->setWidget(list_);
        scroll_->viewport()->setAutoFillBackground(false);
        list_->setAutoFillBackground(false);
        layout->addWidget(scroll_);
    }

    autoStopDivider_ = new Divider(0, this);
    layout->addWidget(autoStopDivider_);
    layout->addWidget(makeAutoStopLine());
    layout->addWidget(new Divider(0, this));
    layout->addWidget(makeFooter());
    grabber_ = new Grabber(*this);
    layout->addWidget(grabber_);

    connect(&monitor_, &Monitor::changed, this, &PanelView::scheduleUpdate);
    update();
}

PanelView::~PanelView() = default;

QWidget *PanelView::makeHeader()
{
    auto *header = new QWidget(this);
    auto *titles = new QVBoxLayout;
    titles->setSpacing(3);
    titles->addWidget(
        textLabel(QStringLiteral("開発サーバー"), fontOf(15, QFont::DemiBold), header));
    counts_ = textLabel({}, fontOf(12), header);
    counts_->setObjectName(QStringLiteral("counts"));
    setTone(counts_, Tone::secondary);
    titles->addWidget(counts_);

    sort_ = new SegmentedControl({label(SortKey::memory), label(SortKey::cpu)}, header);
    sort_->setObjectName(QStringLiteral("sort"));
    sort_->setFixedWidth(130);
    sort_->setToolTip(QStringLiteral("並べ替えの基準"));
    connect(sort_, &SegmentedControl::activated, this, [this](int index) {
        monitor_.setSortKey(index == 1 ? SortKey::cpu : SortKey::memory);
    });

    auto *refresh = new SymbolButton(12, QSize(24, 22), header);
    refresh->setObjectName(QStringLiteral("refresh"));
    refresh->setSymbol(QStringLiteral("arrow.clockwise"), Tone::primary);
    refresh->setToolTip(QStringLiteral("今すぐ調べ直す"));
    connect(refresh, &QToolButton::clicked, &monitor_, &Monitor::refresh);

    auto *layout = new QHBoxLayout(header);
    layout->setContentsMargins(16, 12, 16, 12);
    layout->addLayout(titles);
    layout->addStretch(1);
    layout->addWidget(sort_);
    layout->addWidget(refresh);
    return header;
}

QWidget *PanelView::makeSearch()
{
    search_ = new QWidget(this);
    // The search field's faint rounded ground.
    auto *ground = new RoundedGround(
        6, [](const QPalette &p) { return textColorAt(p, 0.06); }, search_);
    auto *outer = new QHBoxLayout(search_);
    outer->setContentsMargins(16, 0, 16, 10);
    outer->addWidget(ground);

    auto *glass = new SymbolLabel(12, ground);
    glass->setSymbol(QStringLiteral("magnifyingglass"), toneColor(palette(), Tone::secondary));
    searchField_ = new QLineEdit(ground);
    searchField_->setObjectName(QStringLiteral("search"));
    searchField_->setPlaceholderText(QStringLiteral("名前・ポートで検索"));
    searchField_->setFont(fontOf(14));
    searchField_->setFrame(false);
    searchField_->setAttribute(Qt::WA_MacShowFocusRect, false);
    QPalette fieldPalette = searchField_->palette();
    fieldPalette.setColor(QPalette::Base, Qt::transparent);
    searchField_->setPalette(fieldPalette);
    searchField_->installEventFilter(this);

    clearButton_ = new SymbolButton(12, QSize(18, 18), ground);
    clearButton_->setObjectName(QStringLiteral("clearSearch"));
    clearButton_->setSymbol(QStringLiteral("xmark.circle.fill"));
    clearButton_->setToolTip(QStringLiteral("検索語を消去"));
    clearButton_->hide();
    connect(clearButton_, &QToolButton::clicked, this, [this] { setQuery({}); });

    auto *inner = new QHBoxLayout(ground);
    inner->setContentsMargins(10, 6, 10, 6);
    inner->setSpacing(6);
    inner->addWidget(glass);
    inner->addWidget(searchField_, 1);
    inner->addWidget(clearButton_);

    connect(searchField_, &QLineEdit::textChanged, this, [this](const QString &text) {
        clearButton_->setVisible(!text.isEmpty());
        update();
        options_.onResize(); // the number of rows, and with it the natural height, may change
    });
    return search_;
}

QWidget *PanelView::makeMissingMessage()
{
    missing_ = new QWidget(this);
    missing_->setObjectName(QStringLiteral("pm2Missing"));
    auto *layout = new QVBoxLayout(missing_);
    layout->setContentsMargins(16, 28, 16, 28);
    layout->setSpacing(8);
    auto *title =
        textLabel(QStringLiteral("pm2 が見つかりません"), fontOf(13, QFont::Medium), missing_);
    auto *hint =
        textLabel(QStringLiteral("設定で pm2 の場所を指定してください"), fontOf(12), missing_);
    setTone(hint, Tone::secondary);
    title->setAlignment(Qt::AlignCenter);
    hint->setAlignment(Qt::AlignCenter);
    layout->addWidget(title);
    layout->addWidget(hint);
    return missing_;
}

QWidget *PanelView::makeAutoStopLine()
{
    autoStop_ = new QWidget(this);
    auto *layout = new QHBoxLayout(autoStop_);
    layout->setContentsMargins(16, 8, 16, 8);
    layout->setSpacing(6);
    auto *moon = new SymbolLabel(11, autoStop_);
    moon->setSymbol(QStringLiteral("moon.zzz"), toneColor(palette(), Tone::secondary));
    autoStopText_ = textLabel({}, fontOf(11), autoStop_);
    autoStopText_->setObjectName(QStringLiteral("autoStop"));
    autoStopText_->setWordWrap(true);
    setTone(autoStopText_, Tone::secondary);
    layout->addWidget(moon, 0, Qt::AlignTop);
    layout->addWidget(autoStopText_, 1);
    return autoStop_;
}

QWidget *PanelView::makeFooter()
{
    auto *footer = new QWidget(this);
    auto *layout = new QHBoxLayout(footer);
    layout->setContentsMargins(16, 10, 16, 10);
    layout->setSpacing(10);
    const auto button = [footer](const QString &text, const char *name) {
        auto *b = new QPushButton(text, footer);
        b->setFont(fontOf(12));
        b->setObjectName(QLatin1String(name));
        b->setFocusPolicy(Qt::NoFocus);
        b->setMinimumWidth(b->sizeHint().width() + 12); // room around the text in every style
        return b;
    };
    stopAll_ = button(QStringLiteral("ピン以外をすべて止める"), "stopAll");
    auto *settings = button(QStringLiteral("設定"), "settings");
    auto *quit = button(QStringLiteral("終了"), "quit");
    connect(stopAll_, &QPushButton::clicked, &monitor_, &Monitor::stopAllIdle);
    connect(settings, &QPushButton::clicked, this, [this] { options_.onSettings(); });
    connect(quit, &QPushButton::clicked, this, [this] { options_.onQuit(); });
    layout->addWidget(stopAll_);
    layout->addStretch(1);
    layout->addWidget(settings);
    layout->addWidget(quit);
    return footer;
}

std::optional<double> PanelView::availableScreenHeight()
{
    // The offscreen platform invents a screen; there is no real one to size against.
    if (QGuiApplication::platformName() == u"offscreen")
        return std::nullopt;
    if (const QScreen *screen = QGuiApplication::primaryScreen())
        return screen->availableGeometry().height();
    return std::nullopt;
}

QString PanelView::query() const
{
    return searchField_->text();
}

void PanelView::setQuery(const QString &query)
{
    searchField_->setText(query);
}

double PanelView::listHeight() const
{
    return PanelGeometry::listHeight(options_.screenHeight(), setHeight_);
}

double PanelView::scrollHeight() const
{
    int rows = 0, open = 0, lines = 0;
    for (const ServerRow &row : monitor_.rows()) {
        if (!SearchFilter::matches(query(), row.app.name, row.ports))
            continue;
        ++rows;
        if (expanded_.contains(row.app.name)) {
            ++open;
            lines += int(row.processes.size());
        }
    }
    return PanelGeometry::scrollHeight(listHeight(), rows, open, lines);
}

double PanelView::roomForList() const
{
    const std::optional<double> screen = options_.screenHeight();
    if (!screen)
        return std::numeric_limits<double>::infinity();
    // Whatever is not the list must fit too: the whole panel stays on the screen, grabber
    // included, and the list scrolls.
    int others = 0;
    for (int i = 0; i < layout()->count(); ++i) {
        const QWidget *widget = layout()->itemAt(i)->widget();
        if (widget && widget != scroll_ && !widget->isHidden())
            others += layout()->itemAt(i)->sizeHint().height();
    }
    return std::max(0.0, *screen - others);
}

void PanelView::toggle(const QString &name)
{
    if (!expanded_.remove(name))
        expanded_.insert(name);
    update();
}

void PanelView::panelShown()
{
    searchField_->setFocus(Qt::PopupFocusReason);
}

void PanelView::panelHidden()
{
    setQuery({});
}

void PanelView::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    if (std::exchange(shownOnce_, true))
        return;
    if (options_.initialQuery)
        setQuery(*options_.initialQuery);
    if (options_.flattened) {
        // The picture opens one breakdown to show what the panel can do.
        for (const ServerRow &row : monitor_.rows()) {
            if (row.processes.size() > 1) {
                expanded_.insert(row.app.name);
                break;
            }
        }
    }
    update();
}

void PanelView::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.fillRect(rect(), palette().color(QPalette::Window));
    if (options_.framed) {
        // A frameless popup over a window of the same colour would have no edge at all.
        painter.setPen(textColorAt(palette(), 0.22));
        painter.drawRect(rect().adjusted(0, 0, -1, -1));
    }
}

bool PanelView::eventFilter(QObject *watched, QEvent *event)
{
    // Escape empties the search; on an empty search it is left to the host (which closes).
    if (watched == searchField_ && event->type() == QEvent::KeyPress &&
        static_cast<QKeyEvent *>(event)->key() == Qt::Key_Escape && !query().isEmpty()) {
        setQuery({});
        return true;
    }
    return QWidget::eventFilter(watched, event);
}

void PanelView::scheduleUpdate()
{
    if (std::exchange(updatePending_, true))
        return;
    QMetaObject::invokeMethod(
        this, [this] { update(); }, Qt::QueuedConnection);
}

void PanelView::update()
{
    updatePending_ = false;
    const bool missing = monitor_.pm2Missing();
    counts_->setText(QString::number(monitor_.runningCount()) + QStringLiteral("本 稼働中　合計 ") +
                     Format::memory(monitor_.totalMemory()));
    sort_->setCurrent(monitor_.sortKey() == SortKey::cpu ? 1 : 0);
    search_->setVisible(!missing);
    missing_->setVisible(missing);
    (scroll_ ? static_cast<QWidget *>(scroll_) : list_)->setVisible(!missing);

    QList<ServerRow> visible;
    for (const ServerRow &row : monitor_.rows()) {
        if (SearchFilter::matches(query(), row.app.name, row.ports))
            visible.append(row);
    }
    updateList(visible);

    const auto &stop = monitor_.lastAutoStop();
    autoStopDivider_->setVisible(stop.has_value());
    autoStop_->setVisible(stop.has_value());
    if (stop)
        autoStopText_->setText(Format::elapsed(stop->at, now()) +
                               QStringLiteral("前に自動で止めました: ") + stop->names.join(u"、"));
    stopAll_->setEnabled(monitor_.runningCount() > 0);
    if (scroll_) // after the lines around it are settled: they decide the room left
        scroll_->setFixedHeight(int(std::min(scrollHeight(), roomForList())));
    QWidget::update();
}

PanelView::Entry &PanelView::entryFor(const QString &key)
{
    Entry &entry = entries_[key];
    if (!entry.row) {
        entry.row = new ServerRowView(monitor_, list_);
        entry.breakdown = new ProcessBreakdownView(list_);
        entry.divider = new Divider(34, list_);
        const QString name = key.section(u'\n', 0, 0);
        connect(entry.row, &ServerRowView::toggleDetail, this, [this, name] { toggle(name); });
    }
    return entry;
}

void PanelView::updateList(const QList<ServerRow> &visible)
{
    noMatch_->setVisible(visible.isEmpty() && !query().isEmpty());
    if (noMatch_->isVisibleTo(this))
        noMatch_->setText(QStringLiteral("「") + query() +
                          QStringLiteral("」に一致するサーバーはありません"));

    // Widgets are kept per app and only refreshed, so scrolling, hovering and open breakdowns
    // survive every refresh; two apps of one name get one widget each.
    const Instant at = now();
    QStringList order;
    QHash<QString, int> seen;
    for (const ServerRow &row : visible) {
        const int occurrence = seen[row.app.name]++;
        const QString key = row.app.name + u'\n' + QString::number(occurrence);
        order.append(key);
        Entry &entry = entryFor(key);
        const bool open = expanded_.contains(row.app.name);
        entry.row->setRow(row, monitor_.busyNames().contains(row.app.name), open, at);
        if (open)
            entry.breakdown->setProcesses(row.processes);
    }

    if (order != shownOrder_) {
        for (const QString &key : std::as_const(shownOrder_)) {
            const Entry &entry = entries_[key];
            for (QWidget *widget :
                 {static_cast<QWidget *>(entry.row), static_cast<QWidget *>(entry.breakdown),
                  static_cast<QWidget *>(entry.divider)})
                listLayout_->removeWidget(widget);
        }
        int at = 1; // after the no-match line
        for (const QString &key : std::as_const(order)) {
            const Entry &entry = entries_[key];
            listLayout_->insertWidget(at++, entry.row);
            listLayout_->insertWidget(at++, entry.breakdown);
            listLayout_->insertWidget(at++, entry.divider);
        }
        // Apps that left the list for good give their widgets back.
        QSet<QString> known;
        for (const ServerRow &row : monitor_.rows())
            known.insert(row.app.name);
        for (auto it = entries_.begin(); it != entries_.end();) {
            if (!known.contains(it.key().section(u'\n', 0, 0))) {
                delete it->row;
                delete it->breakdown;
                delete it->divider;
                it = entries_.erase(it);
            } else {
                ++it;
            }
        }
        shownOrder_ = order;
    }
    const QSet<QString> shown(order.begin(), order.end());
    for (auto it = entries_.begin(); it != entries_.end(); ++it) {
        const bool visibleNow = shown.contains(it.key());
        it->row->setVisible(visibleNow);
        it->divider->setVisible(visibleNow);
        it->breakdown->setVisible(visibleNow && expanded_.contains(it.key().section(u'\n', 0, 0)));
    }
}

void PanelView::dragChanged(double translation)
{
    if (!dragStartHeight_)
        dragStartHeight_ = std::min(listHeight(), roomForList()); // the height the user sees
    setHeight_ =
        PanelGeometry::draggedHeight(*dragStartHeight_, translation, options_.screenHeight());
    update();
    options_.onResize();
}

void PanelView::dragEnded()
{
    dragStartHeight_.reset();
    store_.setValue(StoreKey::panelHeight, listHeight());
    options_.onResize();
}

} // namespace nimbrel::ui
