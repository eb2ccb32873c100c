#include "app/strays/stray_tracker.h"

#include "app/pm2/pm2_client.h"

#include <algorithm>

namespace nimbrel::Strays {

StrayTracker::StrayTracker(std::optional<QString> home, QString root)
    : home_(std::move(home)), root_(std::move(root))
{}

QString StrayTracker::home() const
{
    return home_ ? *home_ : pm2Home();
}

void StrayTracker::observe(const QList<PM2App> &apps, const SystemSnapshot &snapshot)
{
    const ProcessTree::Index index(snapshot.processes);
    QHash<int64_t, App> kept;
    for (const PM2App &app : apps) {
        App state = apps_.take(app.pmId);
        const bool known = !state.mark.name.isEmpty();
        const bool restarted = known && app.restarts > state.restarts;
        // Started anew (not by pm2's own restart of a crashed app): a new set of processes.
        if (app.isRunning() && !state.running && !restarted)
            state.seen.clear();
        state.current.clear();
        if (app.pid) {
            for (const int64_t pid : index.usage(*app.pid).pids) {
                if (const auto started = snapshot.startTicks.constFind(pid);
                    started != snapshot.startTicks.constEnd())
                    state.current.insert({pid, *started});
            }
        }
        // What left the tree and ended is forgotten, so the set stays the size of the tree.
        for (auto key = state.seen.begin(); key != state.seen.end();) {
            if (!state.current.contains(*key) && keyOf(key->pid, root_) != *key)
                key = state.seen.erase(key);
            else
                ++key;
        }
        state.seen.unite(state.current);
        if (app.status != PM2App::Status::online || restarted)
            worthALook_.insert(app.pmId);
        state.mark = {app.pmId, app.name};
        state.running = app.isRunning();
        state.restarts = app.restarts;
        kept.insert(app.pmId, std::move(state));
    }
    apps_ = std::move(kept);
}

QHash<QString, QList<Stray>> StrayTracker::strays(Clock::time_point now)
{
    worthALook_.removeIf([this](int64_t id) { return !apps_.contains(id); });
    if (!worthALook_.isEmpty() && (!lastLook_ || now - *lastLook_ >= scanInterval)) {
        lastLook_ = now;
        QList<AppMark> marks;
        for (const int64_t id : std::as_const(worthALook_))
            marks.append(apps_[id].mark);
        const QHash<int64_t, QList<ProcessKey>> found = marked(marks, home(), root_);
        for (const int64_t id : std::as_const(worthALook_)) {
            App &app = apps_[id];
            QList<ProcessKey> left = found.value(id) + QList(app.seen.begin(), app.seen.end());
            left.removeIf([&](const ProcessKey &key) { return app.current.contains(key); });
            app.strays = withPorts(living(left, root_), root_);
        }
        worthALook_.clear();
    } else {
        for (App &app : apps_) {
            app.strays.removeIf([this](const Stray &stray) {
                return keyOf(stray.process.pid, root_) != stray.process;
            });
        }
    }
    QHash<QString, QList<Stray>> byName;
    for (const App &app : std::as_const(apps_)) {
        if (!app.strays.isEmpty())
            byName[app.mark.name] += app.strays;
    }
    for (QList<Stray> &strays : byName) // in a steady order, whatever order /proc lists them in
        std::ranges::sort(strays, {}, [](const Stray &stray) { return stray.process.pid; });
    return byName;
}

QList<int64_t> StrayTracker::idsOf(const QString &name) const
{
    QList<int64_t> ids;
    for (const App &app : apps_) {
        if (app.mark.name == name)
            ids.append(app.mark.pmId);
    }
    return ids;
}

QList<ProcessKey> StrayTracker::finishStop(const QString &name)
{
    QList<AppMark> marks;
    QList<ProcessKey> keys;
    for (const int64_t id : idsOf(name)) {
        App &app = apps_[id];
        marks.append(app.mark);
        keys += QList(app.seen.begin(), app.seen.end());
        app.seen.clear();
        app.current.clear();
        app.strays.clear();
        app.running = false;
    }
    for (const QList<ProcessKey> &found : marked(marks, home(), root_))
        keys += found;
    return end(living(keys, root_), root_);
}

QList<ProcessKey> StrayTracker::endStrays(const QString &name)
{
    QList<ProcessKey> keys;
    for (const int64_t id : idsOf(name)) {
        for (const Stray &stray : std::as_const(apps_[id].strays))
            keys.append(stray.process);
        apps_[id].strays.clear();
    }
    return end(keys, root_);
}

bool stopCompletely(const PM2Client &client, const QString &name)
{
    QList<PM2App> apps = client.list().apps;
    apps.removeIf([&](const PM2App &app) { return app.name != name; });
    QList<int64_t> roots;
    for (const PM2App &app : std::as_const(apps)) {
        if (app.pid)
            roots.append(*app.pid);
    }
    const std::optional<SystemSnapshot> snapshot = SystemProbe::procSnapshot(procRoot, roots);
    StrayTracker tracker;
    tracker.observe(apps, snapshot.value_or(SystemSnapshot{}));
    if (!client.stop(name))
        return false;
    tracker.finishStop(name);
    return true;
}

} // namespace nimbrel::Strays
