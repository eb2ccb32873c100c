#include "app/monitor.h"

#include "app/pm2/pm2_locator.h"

#include <QPointer>

#include <algorithm>

namespace nimbrel {

Monitor::Monitor(Store &store, Snapshotter snapshotter, QObject *parent)
    : QObject(parent), store_(store), snapshotter_(std::move(snapshotter))
{
    if (const auto stored = store_.text(StoreKey::sortKey))
        sortKey_ = sortKeyFromRawValue(*stored).value_or(SortKey::memory);
}

Monitor::~Monitor() = default;

void Monitor::start()
{
    refresh();
    timer_ = new QTimer(this);
    timer_->setInterval(refreshIntervalMs);
    connect(timer_, &QTimer::timeout, this, &Monitor::refresh);
    timer_->start();
}

void Monitor::follow(PM2Bus &bus)
{
    if (!eventTimer_) {
        eventTimer_ = new QTimer(this);
        eventTimer_->setSingleShot(true);
        eventTimer_->setInterval(eventDelayMs);
        connect(eventTimer_, &QTimer::timeout, this, [this] { refreshAt(Pace::event); });
    }
    // Only the first event of a burst starts the wait; the others join it.
    const auto schedule = [this] {
        if (!eventTimer_->isActive())
            eventTimer_->start();
    };
    connect(&bus, &PM2Bus::processEvent, this, schedule);
    connect(&bus, &PM2Bus::connectedChanged, this, [schedule](bool connected) {
        if (connected)
            schedule();
    });
}

void Monitor::refresh()
{
    refreshAt(Pace::regular);
}

void Monitor::refreshAt(Pace pace)
{
    const std::optional<PM2Client> client = PM2Client::resolved(store_);
    if (!client) {
        setPM2Missing(true); // rows, samples and lastRefresh stay as they were
        askLoginShellForPM2();
        return;
    }
    setPM2Missing(false);

    // The queue never touches the monitor: it only carries a weak pointer to the main thread.
    queue_.submit([self = QPointer<Monitor>(this), client = *client, snapshotter = snapshotter_,
                   pace, tracker = strayTracker_](const SerialQueue::Post &post) {
        PM2Client::List list = client.list();
        if (list.failure) {
            // Nothing is known of the apps now: the rows, the samples and the automatic stop
            // stay as they were, and the panel says why.
            post([self, failure = *list.failure] {
                if (self)
                    self->setListFailure(failure);
            });
            return;
        }
        QList<PM2App> apps = std::move(list.apps);
        QList<int64_t> roots;
        for (const PM2App &app : std::as_const(apps)) {
            if (app.pid)
                roots.append(*app.pid);
        }
        SystemSnapshot snapshot = snapshotter(roots);
        tracker->observe(apps, snapshot);
        post([self, client, apps = std::move(apps), snapshot = std::move(snapshot), pace,
              strays = tracker->strays()] {
            if (!self)
                return;
            self->strays_ = strays;
            self->apply(apps, snapshot, client, pace);
        });
    });
}

void Monitor::askLoginShellForPM2()
{
    if (!PM2Locator::shared().claimShellQuestion())
        return;
    // Up to five seconds: never on the main thread.
    queue_.submit([self = QPointer<Monitor>(this)](const SerialQueue::Post &post) {
        PM2Locator::shared().askShell();
        post([self] {
            if (self && PM2Locator::shared().known())
                self->refresh();
        });
    });
}

void Monitor::apply(const QList<PM2App> &apps, const SystemSnapshot &snapshot,
                    const PM2Client &client, Pace pace)
{
    const QSet<QString> pinned = store_.pinned();
    const ProcessTree::Index processes(snapshot.processes);
    if (pace == Pace::event) {
        Store::LastActive lastActive = store_.lastActive();
        QList<ServerRow> rows;
        rows.reserve(apps.size());
        for (const PM2App &app : apps)
            rows.append(buildRow(app, snapshot, processes, pinned, lastActive, pace));
        sortRows(rows, sortKey_);
        setRows(std::move(rows));
        setLastRefresh(snapshot.takenAt);
        return;
    }

    // Only the times this refresh moved are recorded, each unless the file holds a later one:
    // a time the command line records meanwhile is not overwritten by this refresh's older copy.
    QList<ServerRow> rows;
    rows.reserve(apps.size());
    Store::LastActive lastActive = store_.lastActive();
    const Store::LastActive before = lastActive;
    for (const PM2App &app : apps)
        rows.append(buildRow(app, snapshot, processes, pinned, lastActive, pace));
    Store::LastActive moved;
    for (auto it = lastActive.cbegin(); it != lastActive.cend(); ++it) {
        if (!before.contains(it.key()) || before.value(it.key()) != it.value())
            moved.insert(it.key(), it.value());
    }
    if (!moved.isEmpty())
        store_.recordActive(moved);

    // Each process's share since the previous refresh, for the breakdown's CPU column. A pid
    // taken over by a new process counts from zero (its CPU total is smaller).
    QHash<int64_t, ActivitySample> processSamples;
    for (ServerRow &row : rows) {
        for (ProcessRow &process : row.processes) {
            const ActivitySample current{snapshot.steadyAt, process.cpuSeconds, 0};
            if (const auto previous = processSamples_.constFind(process.pid);
                previous != processSamples_.constEnd())
                process.cpuPercent = cpuPercent(*previous, current);
            processSamples.insert(process.pid, current);
        }
    }
    processSamples_ = std::move(processSamples);

    QStringList toStop = autoStopTargets(rows, snapshot.takenAt, pinned);
    toStop.removeIf([&](const QString &name) {
        return justAutoStopped_.contains(name) || autoStopping_.contains(name);
    });
    justAutoStopped_.clear();
    sortRows(rows, sortKey_);
    setRows(std::move(rows));
    setListFailure(std::nullopt);
    setLastRefresh(snapshot.takenAt);

    if (!toStop.isEmpty()) {
        setLastAutoStop({toStop, snapshot.takenAt});
        // Not marked busy and no last-active change: the next refresh shows the outcome, and a
        // stop that did not take is simply decided again by the refresh after that.
        const QSet<QString> stopping(toStop.begin(), toStop.end());
        autoStopping_ += stopping;
        QHash<QString, QList<ProcFiles::ListenAddress>> listening;
        for (const ServerRow &row : std::as_const(rows_)) {
            if (stopping.contains(row.app.name))
                listening.insert(row.app.name, row.listening);
        }
        stopOnQueue(client, toStop,
                    [stopping, toStop, listening](Monitor &monitor, const QStringList &failed) {
                        monitor.autoStopping_ -= stopping;
                        monitor.justAutoStopped_ = stopping;
                        QStringList stopped = toStop;
                        stopped.removeIf(
                            [&](const QString &name) { return failed.contains(name); });
                        for (const QString &name : std::as_const(stopped))
                            emit monitor.stoppedAsIdle(name, listening.value(name));
                        if (!stopped.isEmpty())
                            emit monitor.autoStopped(stopped);
                        monitor.refresh();
                    });
    }
}

double Monitor::cpuPercent(const ActivitySample &previous, const ActivitySample &current)
{
    const double interval = (current.at - previous.at).count();
    const double percent =
        interval > 0 ? (current.cpuSeconds - previous.cpuSeconds) / interval * 100 : 0;
    return percent >= 0 ? percent : 0; // also for NaN
}

ServerRow Monitor::buildRow(const PM2App &app, const SystemSnapshot &snapshot,
                            const ProcessTree::Index &index, const QSet<QString> &pinned,
                            Store::LastActive &lastActive, Pace pace)
{
    ServerRow row;
    row.app = app;
    const ProcessTree::Usage usage = app.pid ? index.usage(*app.pid) : ProcessTree::Usage::zero();
    if (app.pid)
        row.processes = index.members(*app.pid);
    row.memoryBytes = usage.residentBytes;

    QSet<int64_t> ports;
    for (const int64_t pid : usage.pids) {
        if (const auto listening = snapshot.listeningPorts.constFind(pid);
            listening != snapshot.listeningPorts.constEnd())
            ports.unite(*listening);
        row.listening += snapshot.listeningAddresses.value(pid);
    }
    row.ports = QList<int64_t>(ports.begin(), ports.end());
    std::sort(row.ports.begin(), row.ports.end());
    for (const int64_t port : std::as_const(row.ports))
        row.connections += snapshot.establishedCounts.value(port, 0);

    const QString &name = app.name;
    if (pace == Pace::event) {
        const auto shown = std::find_if(rows_.cbegin(), rows_.cend(),
                                        [&](const ServerRow &r) { return r.app.name == name; });
        if (app.isRunning() && shown != rows_.cend())
            row.cpuPercent = shown->cpuPercent;
    } else if (!app.isRunning()) {
        samples_.remove(name);
    } else {
        const ActivitySample current{snapshot.steadyAt, usage.cpuSeconds, row.connections};
        if (const auto previous = samples_.constFind(name); previous != samples_.constEnd()) {
            row.cpuPercent = cpuPercent(*previous, current);
            if (IdlePolicy::wasBusy(*previous, current, IdlePolicy::busyRatio))
                lastActive.insert(name, snapshot.takenAt);
        } else if (!lastActive.contains(name)) {
            // First seen running and never seen before: idle time counts from now. An old
            // stored time stays, so a server started outside long ago can still be stopped.
            lastActive.insert(name, snapshot.takenAt);
        }
        samples_.insert(name, current);
    }
    if (const auto at = lastActive.constFind(name); at != lastActive.constEnd())
        row.lastActive = *at;
    row.pinned = pinned.contains(name);
    if (const auto waiting = waiting_.constFind(name); waiting != waiting_.constEnd())
        row.waiting = *waiting;
    row.strays = strays_.value(name);
    return row;
}

QStringList Monitor::autoStopTargets(const QList<ServerRow> &rows, Instant now,
                                     const QSet<QString> &pinned)
{
    if (rows.isEmpty() || !store_.boolValue(StoreKey::autoStopEnabled))
        return {};
    const double hours = store_.doubleValue(StoreKey::idleLimitHours);
    const double idleLimit = (hours >= 1.0 ? hours : 1.0) * 3600; // never under an hour
    QStringList names;
    for (const ServerRow &row : rows) {
        if (IdlePolicy::shouldStop(row.app, row.lastActive, now, idleLimit, pinned))
            names.append(row.app.name);
    }
    return names;
}

void Monitor::setSortKey(SortKey key)
{
    store_.setValue(StoreKey::sortKey, rawValue(key));
    sortKey_ = key;
    emit changed();
    QList<ServerRow> sorted = rows_;
    sortRows(sorted, key);
    setRows(std::move(sorted));
}

void Monitor::setRunning(const QString &name, bool running)
{
    perform(name, [name, running, tracker = strayTracker_](const PM2Client &client) {
        if (running)
            return client.start(name);
        if (!client.stop(name))
            return false;
        tracker->finishStop(name); // pm2 reaches only the tree it sees now
        return true;
    });
}

void Monitor::endStrays(const QString &name)
{
    perform(name, [name, tracker = strayTracker_](const PM2Client &) {
        return !tracker->endStrays(name).isEmpty();
    });
}

void Monitor::startApps(const QStringList &names)
{
    const std::optional<PM2Client> client = PM2Client::resolved(store_);
    if (!client || names.isEmpty())
        return;
    const QSet<QString> starting(names.begin(), names.end());
    setBusyNames(busyNames_ + starting);
    const Instant asked = now();
    Store::LastActive times;
    for (const QString &name : names)
        times.insert(name, asked);
    store_.recordActive(times);
    queue_.submit([self = QPointer<Monitor>(this), client = *client, names,
                   starting](const SerialQueue::Post &post) {
        for (const QString &name : names)
            client.start(name);
        post([self, starting] {
            if (!self)
                return;
            self->setBusyNames(self->busyNames_ - starting);
            self->refresh();
        });
    });
}

void Monitor::perform(const QString &name, std::function<bool(const PM2Client &)> action)
{
    const std::optional<PM2Client> client = PM2Client::resolved(store_);
    if (!client)
        return;
    setBusyNames(busyNames_ + QSet<QString>{name});
    // A start or a stop from the panel is use of the app: its idle time starts again.
    const Instant clicked = now();
    store_.recordActive({{name, clicked}});

    queue_.submit([self = QPointer<Monitor>(this), client = *client, action = std::move(action),
                   name](const SerialQueue::Post &post) {
        action(client);
        post([self, name] {
            if (!self)
                return;
            self->setBusyNames(self->busyNames_ - QSet<QString>{name});
            self->refresh();
        });
    });
}

void Monitor::stopAllIdle()
{
    QStringList targets;
    for (const ServerRow &row : std::as_const(rows_)) {
        if (row.app.isRunning() && !row.pinned)
            targets.append(row.app.name);
    }
    const std::optional<PM2Client> client = PM2Client::resolved(store_);
    if (!client || targets.isEmpty())
        return;
    setBusyNames(busyNames_ + QSet<QString>(targets.begin(), targets.end()));
    stopOnQueue(*client, targets, [targets](Monitor &monitor, const QStringList &) {
        monitor.setBusyNames(monitor.busyNames_ - QSet<QString>(targets.begin(), targets.end()));
        monitor.refresh();
    });
}

void Monitor::stopOnQueue(const PM2Client &client, const QStringList &names,
                          std::function<void(Monitor &, const QStringList &failed)> done)
{
    queue_.submit([self = QPointer<Monitor>(this), client, names, done = std::move(done),
                   tracker = strayTracker_](const SerialQueue::Post &post) {
        QStringList failed;
        for (const QString &name : names) {
            if (client.stop(name))
                tracker->finishStop(name);
            else
                failed.append(name);
        }
        post([self, done, failed] {
            if (self)
                done(*self, failed);
        });
    });
}

void Monitor::togglePin(const QString &name)
{
    QSet<QString> pinned = store_.pinned();
    if (!pinned.remove(name))
        pinned.insert(name);
    store_.setPinned(pinned);
    refresh();
}

void Monitor::setWaiting(QHash<QString, ServerRow::Waiting> waiting)
{
    waiting_ = std::move(waiting);
    QList<ServerRow> rows = rows_;
    for (ServerRow &row : rows)
        row.waiting = waiting_.contains(row.app.name) ? std::optional(waiting_.value(row.app.name))
                                                      : std::nullopt;
    setRows(std::move(rows));
}

void Monitor::setRows(QList<ServerRow> rows)
{
    rows_ = std::move(rows);
    emit changed();
}

void Monitor::setLastRefresh(Instant at)
{
    lastRefresh_ = at;
    emit lastRefreshChanged();
    emit changed();
}

void Monitor::setBusyNames(QSet<QString> names)
{
    busyNames_ = std::move(names);
    emit changed();
}

void Monitor::setPM2Missing(bool missing)
{
    pm2Missing_ = missing;
    emit changed();
}

void Monitor::setListFailure(std::optional<QString> failure)
{
    listFailure_ = std::move(failure);
    emit changed();
}

void Monitor::setLastAutoStop(AutoStop stop)
{
    lastAutoStop_ = std::move(stop);
    emit changed();
}

} // namespace nimbrel
