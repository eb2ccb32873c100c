// What each pm2 app's processes were, and what the app left behind. Lives on the monitor's
// queue: only the queue's jobs touch it, one after another, so it needs no lock.
#pragma once

#include "app/strays/stray_scan.h"
#include "app/system/system_probe.h"
#include "core/pm2_app.h"

#include <QHash>
#include <QList>
#include <QSet>
#include <QString>

#include <chrono>
#include <optional>

namespace nimbrel {
class PM2Client;
}

namespace nimbrel::Strays {

class StrayTracker
{
public:
    using Clock = std::chrono::steady_clock;
    // A look for strays reads every process's environment: 250 ms at 5,000 processes.
    static constexpr std::chrono::seconds scanInterval{60};

    // `home` and `root` for tests; by default our PM2_HOME (read at each use) and /proc.
    explicit StrayTracker(std::optional<QString> home = std::nullopt, QString root = procRoot);

    // A refresh's pm2 list and snapshot: remembers the processes of each app's tree since the
    // app was started, and which apps are worth a look (not online, or restarted by pm2).
    void observe(const QList<PM2App> &apps, const SystemSnapshot &snapshot);
    // The strays of each app that has some, by name: a fresh look when an app is worth one and
    // the last look is a minute old, else the earlier findings that still run.
    QHash<QString, QList<Stray>> strays(Clock::time_point now = Clock::now());

    // After pm2 stopped the apps called `name`: ends every process of theirs still there.
    QList<ProcessKey> finishStop(const QString &name);
    // Ends the strays of `name` found by the last look.
    QList<ProcessKey> endStrays(const QString &name);

private:
    struct App
    {
        AppMark mark;
        bool running = false;
        int64_t restarts = 0;
        QSet<ProcessKey> seen;    // in its tree since it was started
        QSet<ProcessKey> current; // in its tree at the last refresh
        QList<Stray> strays;
    };
    QString home() const;
    QList<int64_t> idsOf(const QString &name) const;

    std::optional<QString> home_;
    QString root_;
    QHash<int64_t, App> apps_; // by pm_id
    QSet<int64_t> worthALook_;
    std::optional<Clock::time_point> lastLook_;
};

// `pm2 stop NAME` for the command line, finished: the app's tree is noted first, and whatever
// of it and of the app's marked processes survives pm2's stop is ended. False when pm2 failed.
bool stopCompletely(const PM2Client &client, const QString &name);

} // namespace nimbrel::Strays
