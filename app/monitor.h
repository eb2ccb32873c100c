// The heart of the tray app: refreshes the rows every minute, remembers when each app was last
// really used, and stops the apps left idle past the limit.
#pragma once

#include "app/bus/pm2_bus.h"
#include "app/pm2/pm2_client.h"
#include "app/serial_queue.h"
#include "app/server_row.h"
#include "app/store.h"
#include "app/strays/stray_tracker.h"
#include "app/system/system_probe.h"
#include "core/idle_policy.h"

#include <QHash>
#include <QList>
#include <QObject>
#include <QSet>
#include <QStringList>
#include <QTimer>

#include <functional>
#include <memory>
#include <optional>

namespace nimbrel {

class Monitor : public QObject
{
    Q_OBJECT

public:
    struct AutoStop
    {
        QStringList names; // in the order they were stopped
        Instant at{};      // the takenAt of the refresh that decided it
        bool operator==(const AutoStop &) const = default;
    };
    // Takes the system snapshot of a refresh, on the monitor's queue, given the pids of the apps
    // whose trees it must see. Tests give their own.
    using Snapshotter = std::function<SystemSnapshot(const QList<int64_t> &roots)>;

    static constexpr int refreshIntervalMs = 60'000;
    // A burst of pm2's events (a restart is three or four) makes one refresh this long after
    // the first of them.
    static constexpr int eventDelayMs = 250;

    // Regular refreshes (the 60 s ones and those after the panel's actions) measure CPU and
    // decide what is idle; the refreshes pm2's events cause only show the new state, so that
    // however many there are, the idle policy keeps its cadence.
    enum class Pace { regular, event };

    explicit Monitor(
        Store &store,
        Snapshotter snapshotter =
            [](const QList<int64_t> &roots) { return SystemProbe::snapshot(roots); },
        QObject *parent = nullptr);
    ~Monitor() override;

    // Published state: every assignment emits `changed`, on the main thread.
    const QList<ServerRow> &rows() const { return rows_; }
    std::optional<Instant> lastRefresh() const { return lastRefresh_; }
    const QSet<QString> &busyNames() const { return busyNames_; }
    bool pm2Missing() const { return pm2Missing_; }
    // Why the last list failed (pm2 did not answer, printed no list); nothing once a list came.
    // While set, the rows are those of the last list that came, no longer current.
    const std::optional<QString> &listFailure() const { return listFailure_; }
    SortKey sortKey() const { return sortKey_; }
    const std::optional<AutoStop> &lastAutoStop() const { return lastAutoStop_; }
    qsizetype runningCount() const { return nimbrel::runningCount(rows_); }
    int64_t totalMemory() const { return nimbrel::totalMemory(rows_); }

    // Stores the key and re-sorts the rows; no command runs.
    void setSortKey(SortKey key);

    static bool order(const ServerRow &a, const ServerRow &b, SortKey key)
    {
        return nimbrel::order(a, b, key);
    }

    // Refreshes now and then every 60 seconds.
    void start();
    // Starts one refresh and returns at once; refreshes run one after another, in order.
    void refresh();
    // Follows pm2's events from now on: each burst of them, and each (re)connection of the bus
    // (events were missed meanwhile), brings an event-paced refresh of every row.
    void follow(PM2Bus &bus);

    // The actions of the panel. Each runs its pm2 commands on the queue and then refreshes.
    void setRunning(const QString &name, bool running);
    // Starts exactly these apps, as the panel's start does each (it counts as use), in one go.
    void startApps(const QStringList &names);
    // Stops every running app that is not pinned, in the displayed order.
    void stopAllIdle();
    void togglePin(const QString &name);
    // The row's "let go of the hold": the app stays plainly stopped. Every hold when empty.
    void letGo(const QString &name) { emit letGoRequested(name); }

    // The apps whose ports are held until a request wakes them; their rows show it.
    void setWaiting(QHash<QString, ServerRow::Waiting> waiting);
    // Ends the processes `name` left behind that its row shows, then refreshes.
    void endStrays(const QString &name);

    // The main-thread half of a refresh: joins the pm2 list and the snapshot into rows, moves the
    // samples and last-active times, publishes, and decides the automatic stop. refresh() calls
    // it when its commands are done; benchmarks call it directly.
    void apply(const QList<PM2App> &apps, const SystemSnapshot &snapshot, const PM2Client &client,
               Pace pace = Pace::regular);

signals:
    // Any published field was assigned; the panel redraws from it.
    void changed();
    // A refresh was applied: the popup resizes to the new rows, tests count refreshes.
    void lastRefreshChanged();
    // The stops one refresh decided are done: the apps that did stop, in the order they stopped.
    void autoStopped(const QStringList &names);
    // The automatic stop stopped the app, and pm2 said so; it listened on `addresses`.
    void stoppedAsIdle(const QString &name,
                       const QList<nimbrel::ProcFiles::ListenAddress> &addresses);
    void letGoRequested(const QString &name);

private:
    void refreshAt(Pace pace);
    // An event-paced row keeps the CPU % of the rows shown and moves neither the samples nor
    // the last-active times.
    ServerRow buildRow(const PM2App &app, const SystemSnapshot &snapshot,
                       const ProcessTree::Index &index, const QSet<QString> &pinned,
                       Store::LastActive &lastActive, Pace pace);
    QStringList autoStopTargets(const QList<ServerRow> &rows, Instant now,
                                const QSet<QString> &pinned);
    // When nothing else finds pm2, the user's login shell is asked once, on the queue.
    void askLoginShellForPM2();
    void perform(const QString &name, std::function<bool(const PM2Client &)> action);
    // Runs `stop` for each name on the queue, then `done` on the main thread with the names
    // whose stop failed.
    void stopOnQueue(const PM2Client &client, const QStringList &names,
                     std::function<void(Monitor &, const QStringList &failed)> done);

    // Percent of one core between two samples of one CPU total; 0 when it fell.
    static double cpuPercent(const ActivitySample &previous, const ActivitySample &current);
    void setRows(QList<ServerRow> rows);
    void setLastRefresh(Instant at);
    void setBusyNames(QSet<QString> names);
    void setPM2Missing(bool missing);
    void setListFailure(std::optional<QString> failure);
    void setLastAutoStop(AutoStop stop);

    Store &store_;
    Snapshotter snapshotter_;
    SerialQueue queue_{"nimbrel.monitor", this};
    QTimer *timer_ = nullptr;
    QTimer *eventTimer_ = nullptr;

    QList<ServerRow> rows_;
    std::optional<Instant> lastRefresh_;
    QSet<QString> busyNames_;
    bool pm2Missing_ = false;
    std::optional<QString> listFailure_;
    SortKey sortKey_ = SortKey::memory;
    std::optional<AutoStop> lastAutoStop_;
    QHash<QString, ActivitySample> samples_;
    QHash<int64_t, ActivitySample> processSamples_; // by pid, from the previous refresh
    // Apps just stopped automatically. The refresh that follows the stops leaves them alone,
    // whatever pm2 answered: a stop it refuses, or one it reports done while the app stays
    // online, would otherwise be retried back to back forever. The refresh after that decides
    // afresh.
    QSet<QString> justAutoStopped_;
    // Apps whose automatic stop is decided and not yet done: a refresh queued before the stop
    // still finds them online, and must not stop them a second time.
    QSet<QString> autoStopping_;
    QHash<QString, ServerRow::Waiting> waiting_;
    // Touched only on the queue; the rows carry what it found.
    std::shared_ptr<Strays::StrayTracker> strayTracker_ = std::make_shared<Strays::StrayTracker>();
    QHash<QString, QList<Strays::Stray>> strays_; // of the refresh being applied, by app name
};

} // namespace nimbrel
