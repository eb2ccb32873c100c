// The whole panel: header, search, the list of servers, the automatic-stop line, the footer and
// the grabber that sets the list's height.
#pragma once

#include "app/server_row.h"

#include <QHash>
#include <QSet>
#include <QWidget>

#include <functional>
#include <optional>

class QKeyEvent;
class QLabel;
class QLineEdit;
class QPushButton;
class QScrollArea;
class QVBoxLayout;

namespace nimbrel {

class Monitor;
class Store;

namespace ui {

class Divider;
class Grabber;
class ProcessBreakdownView;
class StrayLineView;
class SegmentedControl;
class ServerRowView;
class SymbolButton;

class PanelView : public QWidget
{
    Q_OBJECT

public:
    struct Options
    {
        std::function<void()> onSettings = [] {};
        std::function<void()> onQuit = [] {};
        // A row's or a breakdown's "ログ" button: the log window of the app of that name.
        std::function<void(const QString &name)> onLogs = [](const QString &) {};
        // The picture layout: no scroll area, and the first row of several processes open.
        bool flattened = false;
        std::function<void()> onResize = [] {};
        // Typed into the search field when the panel is first shown.
        std::optional<QString> initialQuery;
        // A hairline around the panel, for the popup (the picture export has none).
        bool framed = false;
        // The height of the screen's available area; nothing when there is no real screen.
        std::function<std::optional<double>()> screenHeight = availableScreenHeight;
        // The heading names the panel; a window whose title bar does so leaves it out.
        bool titled = true;
    };

    static constexpr int panelWidth = 560;

    PanelView(Monitor &monitor, Store &store, Options options, QWidget *parent = nullptr);
    ~PanelView() override;

    // Opens or closes the breakdown of an app.
    void toggle(const QString &name);
    const QSet<QString> &expanded() const { return expanded_; }
    QString query() const;
    void setQuery(const QString &query);

    double listHeight() const;
    double scrollHeight() const;
    // The most the list may take so that the whole panel fits the screen's available height.
    double roomForList() const;

    // The host tells when the panel comes on screen (the search gets the keyboard) and when it
    // goes away (the search is emptied, so every opening starts unfiltered).
    void panelShown();
    void panelHidden();

    static std::optional<double> availableScreenHeight();

protected:
    void showEvent(QShowEvent *event) override;
    void paintEvent(QPaintEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    // The widgets of one app are kept from refresh to refresh; two apps of one name (pm2 allows
    // it) get one set each.
    struct RowKey
    {
        QString name;
        int occurrence = 0;
        friend bool operator==(const RowKey &, const RowKey &) = default;
        friend size_t qHash(const RowKey &key, size_t seed = 0)
        {
            return qHashMulti(seed, key.name, key.occurrence);
        }
    };
    struct Entry
    {
        ServerRowView *row = nullptr;
        ProcessBreakdownView *breakdown = nullptr;
        StrayLineView *strays = nullptr;
        Divider *divider = nullptr;
    };

    QWidget *makeHeader();
    QWidget *makeSearch();
    QWidget *makeMissingMessage();
    QWidget *makeListFailureLine();
    QWidget *makeNoMatchLine();
    QWidget *makeAutoStopLine();
    QWidget *makeFooter();

    // Coalesces the monitor's signals of one apply into one refresh.
    void scheduleRefresh();
    // Reads everything shown from the monitor again.
    void refreshFromMonitor();
    void refreshList(const QList<ServerRow> &visible);
    QList<RowKey> refreshEntries(const QList<ServerRow> &visible);
    void placeEntries(const QList<RowKey> &order);
    void dropEntriesOfGoneApps();
    void showEntries(const QList<RowKey> &order);
    // `order` with the rows already shown kept where they stand (the pointer is over them).
    QList<RowKey> heldOrder(const QList<RowKey> &order) const;
    bool showsBreakdown(const ServerRow &row) const;
    QWidget *listArea() const;
    // Up and down move the keyboard's row, Enter opens it.
    bool moveOrActivate(const QKeyEvent *key);
    Entry &entryFor(const RowKey &key);
    // Hover marks follow the pointer when rows move under it without the pointer moving.
    void followPointer();
    bool forwardTyping(QKeyEvent *event);
    void dragChanged(double translation);
    void dragEnded();

    Monitor &monitor_;
    Store &store_;
    Options options_;
    QSet<QString> expanded_;
    double setHeight_ = 0;
    std::optional<double> dragStartHeight_;
    bool refreshPending_ = false;
    bool shownOnce_ = false;
    bool freshOrder_ = false;
    std::optional<RowKey> selected_;
    std::optional<QPointF> pointer_; // in the window, while the pointer is over it

    QLabel *counts_ = nullptr;
    SegmentedControl *sort_ = nullptr;
    QWidget *search_ = nullptr;
    QLineEdit *searchField_ = nullptr;
    QLabel *searchPlaceholder_ = nullptr;
    SymbolButton *clearButton_ = nullptr;
    QWidget *missing_ = nullptr;
    QLabel *listFailure_ = nullptr;
    QScrollArea *scroll_ = nullptr;
    QWidget *list_ = nullptr;
    QVBoxLayout *listLayout_ = nullptr;
    QWidget *noMatchLine_ = nullptr;
    QLabel *noMatch_ = nullptr;
    QWidget *autoStopDivider_ = nullptr;
    QWidget *autoStop_ = nullptr;
    QLabel *autoStopText_ = nullptr;
    QPushButton *stopAll_ = nullptr;
    Grabber *grabber_ = nullptr;

    QHash<RowKey, Entry> entries_;
    QList<RowKey> shownOrder_;
};

} // namespace ui
} // namespace nimbrel
