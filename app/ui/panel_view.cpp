#include "app/ui/panel_view.h"

#include "app/monitor.h"
#include "app/store.h"
#include "app/ui/divider.h"
#include "app/ui/grabber.h"
#include "app/ui/overlay_scroll_bar.h"
#include "app/ui/process_breakdown_view.h"
#include "app/ui/rounded_ground.h"
#include "app/ui/segmented_control.h"
#include "app/ui/server_row_view.h"
#include "app/ui/stray_line_view.h"
#include "app/ui/symbol_button.h"
#include "app/ui/symbol_label.h"
#include "app/ui/texts.h"
#include "core/format.h"
#include "core/panel_geometry.h"
#include "core/search_filter.h"

#include <QApplication>
#include <QGraphicsOpacityEffect>
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
#include <QWindow>

#include <limits>

namespace nimbrel::ui {

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
    layout->addWidget(makeListFailureLine());
    layout->addWidget(new Divider(0, this));
    layout->addWidget(makeMissingMessage());

    list_ = new QWidget(this);
    list_->setObjectName(QStringLiteral("list"));
    listLayout_ = new QVBoxLayout(list_);
    listLayout_->setContentsMargins(0, 0, 0, 0);
    listLayout_->setSpacing(0);
    listLayout_->addWidget(makeNoMatchLine());
    listLayout_->addStretch(1);
    if (options_.flattened) {
        layout->addWidget(list_);
    } else {
        scroll_ = new QScrollArea(this);
        scroll_->setObjectName(QStringLiteral("scroll"));
        scroll_->setFrameShape(QFrame::NoFrame);
        scroll_->setWidgetResizable(true);
        scroll_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
        // A click in the list must not take the keyboard from the search field.
        scroll_->setFocusPolicy(Qt::NoFocus);
        scroll_->setWidget(list_);
        scroll_->viewport()->setAutoFillBackground(false);
        list_->setAutoFillBackground(false);
        new OverlayScrollBar(*scroll_);
        layout->addWidget(scroll_);
    }
    listArea()->installEventFilter(this);

    autoStopDivider_ = new Divider(0, this);
    layout->addWidget(autoStopDivider_);
    layout->addWidget(makeAutoStopLine());
    layout->addWidget(new Divider(0, this));
    layout->addWidget(makeFooter());
    grabber_ = new Grabber(this);
    connect(grabber_, &Grabber::dragged, this, &PanelView::dragChanged);
    connect(grabber_, &Grabber::released, this, &PanelView::dragEnded);
    layout->addWidget(grabber_);

    connect(&monitor_, &Monitor::changed, this, &PanelView::scheduleRefresh);
    installEventFilter(this);
    refreshFromMonitor();
}

PanelView::~PanelView() = default;

QWidget *PanelView::makeHeader()
{
    auto *header = new QWidget(this);
    auto *title = textLabel(texts::title, fontOf(15, QFont::DemiBold), header);
    title->setObjectName(QStringLiteral("title"));
    title->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    // A window's title bar names the panel already; the heading keeps the counts.
    title->setVisible(options_.titled);
    counts_ = textLabel({}, fontOf(12), header);
    counts_->setObjectName(QStringLiteral("counts"));
    counts_->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    setTone(counts_, Tone::secondary);
    auto *titles = new QVBoxLayout;
    titles->setSpacing(3);
    titles->addWidget(title);
    titles->addWidget(counts_);

    sort_ = new SegmentedControl({label(SortKey::memory), label(SortKey::cpu)}, header);
    sort_->setObjectName(QStringLiteral("sort"));
    sort_->setFixedWidth(130);
    sort_->setToolTip(texts::sortHelp);
    connect(sort_, &SegmentedControl::activated, this, [this](int index) {
        monitor_.setSortKey(index == 1 ? SortKey::cpu : SortKey::memory);
    });

    const QSize refreshFrame(24, 22);
    constexpr int refreshSymbol = 12;
    auto *refresh = new SymbolButton(refreshSymbol, refreshFrame, header);
    refresh->setObjectName(QStringLiteral("refresh"));
    refresh->setSymbol(QStringLiteral("arrow.clockwise"), Tone::primary);
    refresh->setToolTip(texts::refreshHelp);
    connect(refresh, &QToolButton::clicked, &monitor_, &Monitor::refresh);

    // The title (or the counts, where the title is left out) and the control's labels stand on
    // one baseline, measured on the line as drawn: the Japanese glyphs come from a fallback face
    // that stands taller than the interface font. The symbol is centred on the control.
    QLabel *first = options_.titled ? title : counts_;
    const int titleBaseline =
        lineAscent(first->font(), options_.titled ? texts::title : texts::runningCount);
    const int refreshBaseline = sort_->baseline() + (refreshFrame.height() - sort_->height()) / 2;
    const int line = std::max({titleBaseline, sort_->baseline(), refreshBaseline});
    const auto loweredBy = [](int offset, QLayoutItem *item) {
        auto *column = new QVBoxLayout;
        column->setSpacing(0);
        column->addSpacing(offset);
        column->addItem(item);
        column->addStretch(1);
        return column;
    };
    auto *layout = new QHBoxLayout(header);
    layout->setContentsMargins(16, 12, 16, 12);
    layout->addLayout(loweredBy(line - titleBaseline, titles));
    layout->addStretch(1);
    layout->addLayout(loweredBy(line - sort_->baseline(), new QWidgetItem(sort_)));
    layout->addLayout(loweredBy(line - refreshBaseline, new QWidgetItem(refresh)));
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
    searchField_->setAccessibleName(texts::searchPlaceholder);
    searchField_->setFont(fontOf(14));
    searchField_->setFrame(false);
    QPalette fieldPalette = searchField_->palette();
    fieldPalette.setColor(QPalette::Base, Qt::transparent);
    searchField_->setPalette(fieldPalette);
    searchField_->installEventFilter(this);
    // The field's own placeholder starts where the caret stands, so the caret covers its first
    // glyph; this one keeps a little room from the caret.
    auto *placeholder = searchPlaceholder_ =
        textLabel(texts::searchPlaceholder, searchField_->font(), searchField_);
    placeholder->setObjectName(QStringLiteral("searchPlaceholder"));
    placeholder->setAttribute(Qt::WA_TransparentForMouseEvents);
    setTextColor(placeholder, searchField_->palette().color(QPalette::PlaceholderText));

    clearButton_ = new SymbolButton(12, QSize(18, 18), ground);
    clearButton_->setObjectName(QStringLiteral("clearSearch"));
    clearButton_->setSymbol(QStringLiteral("xmark.circle.fill"));
    clearButton_->setToolTip(texts::clearSearchHelp);
    clearButton_->hide();
    connect(clearButton_, &QToolButton::clicked, this, [this] { setQuery({}); });

    auto *inner = new QHBoxLayout(ground);
    inner->setContentsMargins(10, 6, 10, 6);
    inner->setSpacing(6);
    inner->addWidget(glass);
    inner->addWidget(searchField_, 1);
    inner->addWidget(clearButton_);

    connect(searchField_, &QLineEdit::textChanged, this, [this, placeholder](const QString &text) {
        placeholder->setVisible(text.isEmpty());
        clearButton_->setVisible(!text.isEmpty());
        refreshFromMonitor();
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
    auto *title = textLabel(texts::pm2Missing, fontOf(13, QFont::Medium), missing_);
    auto *hint = textLabel(texts::pm2MissingHint, fontOf(12), missing_);
    setTone(hint, Tone::secondary);
    title->setAlignment(Qt::AlignCenter);
    hint->setAlignment(Qt::AlignCenter);
    layout->addWidget(title);
    layout->addWidget(hint);
    return missing_;
}

QWidget *PanelView::makeListFailureLine()
{
    listFailure_ = textLabel({}, fontOf(12), this);
    listFailure_->setObjectName(QStringLiteral("listFailure"));
    listFailure_->setWordWrap(true);
    listFailure_->setContentsMargins(16, 0, 16, 10);
    QPalette warning = listFailure_->palette();
    warning.setColor(QPalette::WindowText, pinOrange());
    listFailure_->setPalette(warning);
    return listFailure_;
}

QWidget *PanelView::makeNoMatchLine()
{
    // The band carries the padding, so the line keeps it whatever height the list is given.
    noMatchLine_ = new QWidget(list_);
    noMatchLine_->setObjectName(QStringLiteral("noMatchLine"));
    noMatchLine_->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    noMatch_ = textLabel({}, fontOf(14), noMatchLine_);
    noMatch_->setObjectName(QStringLiteral("noMatch"));
    noMatch_->setAlignment(Qt::AlignCenter);
    setTone(noMatch_, Tone::secondary);
    auto *layout = new QVBoxLayout(noMatchLine_);
    layout->setContentsMargins(16, 28, 16, 28);
    layout->addWidget(noMatch_);
    return noMatchLine_;
}

QWidget *PanelView::makeAutoStopLine()
{
    autoStop_ = new QWidget(this);
    auto *layout = new QHBoxLayout(autoStop_);
    layout->setContentsMargins(16, 8, 16, 8);
    layout->setSpacing(6);
    auto *moon = new SymbolLabel(11, autoStop_);
    moon->setObjectName(QStringLiteral("moon"));
    moon->setSymbol(QStringLiteral("moon.zzz"), toneColor(palette(), Tone::secondary));
    autoStopText_ = textLabel({}, fontOf(11), autoStop_);
    autoStopText_->setObjectName(QStringLiteral("autoStop"));
    autoStopText_->setWordWrap(true);
    setTone(autoStopText_, Tone::secondary);
    layout->addWidget(moon, 0, Qt::AlignVCenter);
    layout->addWidget(autoStopText_, 1, Qt::AlignVCenter);
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
    stopAll_ = button(texts::stopAll, "stopAll");
    auto *settings = button(texts::settings, "settings");
    auto *quit = button(texts::quit, "quit");
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
        if (showsBreakdown(row)) {
            ++open;
            lines += int(row.processes.size()) + (row.waiting && !row.app.isRunning() ? 1 : 0);
        }
        if (!row.strays.isEmpty())
            ++lines; // its warning line is one breakdown line high
    }
    // A search shows what it found and no more (the popup hangs from its top edge, so only its
    // bottom moves); the whole list keeps its least height, so refreshes do not make it jump.
    const double least = query().isEmpty() ? PanelGeometry::minimumListHeight
                         : rows            ? 0
                                           : noMatchLine_->sizeHint().height();
    return PanelGeometry::scrollHeight(listHeight(), rows, open, lines, least);
}

bool PanelView::showsBreakdown(const ServerRow &row) const
{
    // A stopped app keeps its place in the set, to open again when it runs again.
    return expanded_.contains(row.app.name) && ServerRowView::opensBreakdown(row);
}

QWidget *PanelView::listArea() const
{
    return scroll_ ? scroll_->viewport() : list_;
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
    refreshFromMonitor();
}

void PanelView::panelShown()
{
    searchField_->setFocus(Qt::PopupFocusReason);
    // An order held under the pointer when the panel went away gives way now.
    freshOrder_ = true;
    refreshFromMonitor();
}

void PanelView::panelHidden()
{
    pointer_.reset();
    selected_.reset();
    setQuery({});
}

void PanelView::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    // Typing reaches the window itself when nothing in it has the keyboard.
    if (window() != this)
        window()->installEventFilter(this);
    // Where the pointer is, as the window system tells the window itself (its native window is
    // new at each showing).
    if (QWindow *handle = window()->windowHandle())
        handle->installEventFilter(this);
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
    refreshFromMonitor();
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
    if (watched == window()->windowHandle()) {
        if (event->type() == QEvent::MouseMove && event->spontaneous())
            pointer_ = static_cast<QMouseEvent *>(event)->position();
        else if (event->type() == QEvent::Enter)
            pointer_ = static_cast<QEnterEvent *>(event)->position();
        else if (event->type() == QEvent::Leave)
            pointer_.reset();
        return false;
    }
    if (watched == searchField_ && event->type() == QEvent::Resize) {
        // Past the field's own 2-pixel margin, 3 more: the caret stands clear of the text.
        searchPlaceholder_->setGeometry(searchField_->rect().adjusted(5, 0, 0, 0));
        return false;
    }
    if (watched == listArea() && event->type() == QEvent::Leave) {
        scheduleRefresh(); // the order held under the pointer gives way to the monitor's
        return false;
    }
    if (event->type() != QEvent::KeyPress)
        return QWidget::eventFilter(watched, event);
    auto *key = static_cast<QKeyEvent *>(event);
    // Escape empties the search; on an empty search it is left to the host (which closes).
    if (watched == searchField_ && key->key() == Qt::Key_Escape && !query().isEmpty()) {
        setQuery({});
        return true;
    }
    if (moveOrActivate(key))
        return true;
    if ((watched == this || watched == window()) && forwardTyping(key))
        return true;
    return QWidget::eventFilter(watched, event);
}

bool PanelView::forwardTyping(QKeyEvent *event)
{
    // Whatever was clicked last, typing searches, unless another field is being typed in.
    if (!searchField_->isVisible() || event->text().isEmpty() || !event->text().front().isPrint() ||
        qobject_cast<QLineEdit *>(QApplication::focusWidget()))
        return false;
    searchField_->setFocus(Qt::OtherFocusReason);
    QCoreApplication::sendEvent(searchField_, event);
    return true;
}

void PanelView::scheduleRefresh()
{
    if (std::exchange(refreshPending_, true))
        return;
    QMetaObject::invokeMethod(
        this, [this] { refreshFromMonitor(); }, Qt::QueuedConnection);
}

void PanelView::refreshFromMonitor()
{
    refreshPending_ = false;
    const bool missing = monitor_.pm2Missing();
    counts_->setText(QString::number(monitor_.runningCount()) + texts::runningCount +
                     Format::memory(monitor_.totalMemory()));
    sort_->setCurrent(monitor_.sortKey() == SortKey::cpu ? 1 : 0);
    search_->setVisible(!missing);
    missing_->setVisible(missing);
    (scroll_ ? static_cast<QWidget *>(scroll_) : list_)->setVisible(!missing);
    // Rows of a list that failed stay, faded, under a line that says why: pm2 not answering
    // must not look like every app gone.
    const auto &failure = monitor_.listFailure();
    listFailure_->setVisible(failure && !missing);
    listFailure_->setText(failure ? *failure + texts::rowsNotCurrent : QString());
    if (failure && !list_->graphicsEffect()) {
        auto *faded = new QGraphicsOpacityEffect(list_);
        faded->setOpacity(0.45);
        list_->setGraphicsEffect(faded);
    } else if (!failure && list_->graphicsEffect()) {
        list_->setGraphicsEffect(nullptr);
    }

    QList<ServerRow> visible;
    for (const ServerRow &row : monitor_.rows()) {
        if (SearchFilter::matches(query(), row.app.name, row.ports))
            visible.append(row);
    }
    refreshList(visible);

    const auto &stop = monitor_.lastAutoStop();
    autoStopDivider_->setVisible(stop.has_value());
    autoStop_->setVisible(stop.has_value());
    if (stop)
        autoStopText_->setText(Format::elapsed(stop->at, now()) + texts::autoStopped +
                               stop->names.join(texts::autoStoppedSeparator));
    stopAll_->setEnabled(monitor_.runningCount() > 0);
    if (scroll_) // after the lines around it are settled: they decide the room left
        scroll_->setFixedHeight(int(std::min(scrollHeight(), roomForList())));
    // After the layout has placed the rows anew.
    QMetaObject::invokeMethod(
        this, [this] { followPointer(); }, Qt::QueuedConnection);
}

void PanelView::refreshList(const QList<ServerRow> &visible)
{
    noMatchLine_->setVisible(visible.isEmpty() && !query().isEmpty());
    if (noMatchLine_->isVisibleTo(this))
        noMatch_->setText(texts::noMatchOpen + query() + texts::noMatchClose);
    QList<RowKey> order = refreshEntries(visible);
    if (!std::exchange(freshOrder_, false) && listArea()->underMouse())
        order = heldOrder(order);
    if (selected_ && !order.contains(*selected_))
        selected_.reset();
    if (order != shownOrder_) {
        placeEntries(order);
        dropEntriesOfGoneApps();
        shownOrder_ = order;
    }
    showEntries(order);
}

PanelView::Entry &PanelView::entryFor(const RowKey &key)
{
    Entry &entry = entries_[key];
    if (!entry.row) {
        entry.row = new ServerRowView(list_);
        entry.breakdown = new ProcessBreakdownView(list_);
        entry.strays = new StrayLineView(list_);
        entry.divider = new Divider(34, list_);
        const QString name = key.name;
        connect(entry.row, &ServerRowView::toggleDetail, this, [this, name] { toggle(name); });
        connect(entry.row, &ServerRowView::runningRequested, &monitor_, &Monitor::setRunning);
        connect(entry.row, &ServerRowView::pinToggleRequested, &monitor_, &Monitor::togglePin);
        connect(entry.row, &ServerRowView::logsRequested, this,
                [this](const QString &app) { options_.onLogs(app); });
        connect(entry.breakdown, &ProcessBreakdownView::logsRequested, this,
                [this, name] { options_.onLogs(name); });
        connect(entry.breakdown, &ProcessBreakdownView::letGoRequested, &monitor_,
                [this, name] { monitor_.letGo(name); });
        connect(entry.strays, &StrayLineView::endRequested, &monitor_, &Monitor::endStrays);
    }
    return entry;
}

QList<PanelView::RowKey> PanelView::refreshEntries(const QList<ServerRow> &visible)
{
    // Widgets are kept per app and only refreshed, so scrolling, hovering and open breakdowns
    // survive every refresh.
    const Instant at = now();
    QList<RowKey> order;
    QHash<QString, int> seen;
    for (const ServerRow &row : visible) {
        const RowKey key{row.app.name, seen[row.app.name]++};
        order.append(key);
        Entry &entry = entryFor(key);
        const bool open = showsBreakdown(row);
        entry.row->setRow(row, monitor_.busyNames().contains(row.app.name), open, at);
        entry.strays->setStrays(row.app.name, row.strays);
        if (open) {
            entry.breakdown->setProcesses(row.processes);
            entry.breakdown->setWaiting(row.app.isRunning() ? std::nullopt : row.waiting);
        }
    }
    return order;
}

void PanelView::placeEntries(const QList<RowKey> &order)
{
    for (const RowKey &key : std::as_const(shownOrder_)) {
        const Entry &entry = entries_[key];
        listLayout_->removeWidget(entry.row);
        listLayout_->removeWidget(entry.breakdown);
        listLayout_->removeWidget(entry.strays);
        listLayout_->removeWidget(entry.divider);
    }
    int at = 1; // after the no-match line
    for (const RowKey &key : order) {
        const Entry &entry = entries_[key];
        listLayout_->insertWidget(at++, entry.row);
        listLayout_->insertWidget(at++, entry.strays);
        listLayout_->insertWidget(at++, entry.breakdown);
        listLayout_->insertWidget(at++, entry.divider);
    }
}

void PanelView::dropEntriesOfGoneApps()
{
    QSet<QString> known;
    for (const ServerRow &row : monitor_.rows())
        known.insert(row.app.name);
    for (auto it = entries_.begin(); it != entries_.end();) {
        if (known.contains(it.key().name)) {
            ++it;
            continue;
        }
        delete it->row;
        delete it->breakdown;
        delete it->strays;
        delete it->divider;
        it = entries_.erase(it);
    }
}

QList<PanelView::RowKey> PanelView::heldOrder(const QList<RowKey> &order) const
{
    // The rows the pointer may be aiming at stay where they were; rows new to the list (a
    // search typed meanwhile) follow in the monitor's order.
    QList<RowKey> held;
    for (const RowKey &key : shownOrder_) {
        if (order.contains(key))
            held.append(key);
    }
    for (const RowKey &key : order) {
        if (!held.contains(key))
            held.append(key);
    }
    return held;
}

void PanelView::showEntries(const QList<RowKey> &order)
{
    const QSet<RowKey> shown(order.begin(), order.end());
    for (auto it = entries_.begin(); it != entries_.end(); ++it) {
        const bool visibleNow = shown.contains(it.key());
        it->row->setVisible(visibleNow);
        it->row->setSelected(visibleNow && selected_ == it.key());
        // The last row has none: the footer's full-width line follows it.
        it->divider->setVisible(visibleNow && it.key() != order.back());
        it->breakdown->setVisible(visibleNow && it->row->isExpandable() &&
                                  expanded_.contains(it.key().name));
        it->strays->setVisible(visibleNow && it->strays->hasStrays());
    }
}

bool PanelView::moveOrActivate(const QKeyEvent *key)
{
    const qsizetype count = shownOrder_.size();
    const qsizetype at = selected_ ? shownOrder_.indexOf(*selected_) : -1;
    switch (key->key()) {
    case Qt::Key_Down:
    case Qt::Key_Up: {
        if (count == 0)
            return true;
        const bool down = key->key() == Qt::Key_Down;
        const qsizetype next = at < 0 ? (down ? 0 : count - 1)
                                      : std::clamp<qsizetype>(at + (down ? 1 : -1), 0, count - 1);
        selected_ = shownOrder_[next];
        showEntries(shownOrder_);
        if (scroll_)
            scroll_->ensureWidgetVisible(entries_[*selected_].row, 0, 0);
        return true;
    }
    case Qt::Key_Return:
    case Qt::Key_Enter:
        if (at < 0)
            return false;
        entries_[*selected_].row->activate();
        return true;
    default:
        return false;
    }
}

void PanelView::followPointer()
{
    // Qt moves its hover marks only when the pointer moves; a row that slid under a still pointer
    // would leave the mark on the app that was there before. A move on the spot sets it right.
    // The spot is where the window last heard the pointer, in its own coordinates: the global
    // pointer and the window's place on the screen can both be stale (through XWayland the
    // pointer over another client is not seen, and a window the compositor re-centred may not
    // yet know where it is), and a move on a spot taken from them marks a row the pointer is
    // not over.
    QWindow *window = this->window()->windowHandle();
    if (!window || !isVisible() || QGuiApplication::mouseButtons() != Qt::NoButton || !pointer_)
        return;
    QMouseEvent move(QEvent::MouseMove, *pointer_, window->mapToGlobal(*pointer_), Qt::NoButton,
                     Qt::NoButton, QGuiApplication::keyboardModifiers());
    QCoreApplication::sendEvent(window, &move);
}

void PanelView::dragChanged(double translation)
{
    if (!dragStartHeight_)
        dragStartHeight_ = std::min(listHeight(), roomForList()); // the height the user sees
    setHeight_ =
        PanelGeometry::draggedHeight(*dragStartHeight_, translation, options_.screenHeight());
    refreshFromMonitor();
    options_.onResize();
}

void PanelView::dragEnded()
{
    dragStartHeight_.reset();
    // What the user sees: a screen too small for the height dragged to leaves the list shorter.
    store_.setValue(StoreKey::panelHeight, std::min(listHeight(), roomForList()));
    options_.onResize();
}

} // namespace nimbrel::ui
