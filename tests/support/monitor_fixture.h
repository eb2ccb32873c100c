// A monitor fed with chosen pm2 apps (through the pm2 stand-in) and chosen snapshots of the
// machine, for the monitor's tests and for the widgets that show it.
#pragma once

#include "app/monitor.h"
#include "support/fake_pm2.h"
#include "support/test_environment.h"

#include <QTest>

#include <gtest/gtest.h>

#include <deque>
#include <mutex>

namespace nimbrel::test {

// The child of that object name, which the test expects to be there.
template <typename T = QWidget> T *child(const QObject &parent, const char *name)
{
    T *found = parent.findChild<T *>(QLatin1String(name));
    EXPECT_NE(found, nullptr) << name;
    return found;
}

// A process of a snapshot: `cpu` seconds used so far.
inline ProcessRow process(int64_t pid, double cpu, int64_t megabytes = 50, int64_t ppid = 0)
{
    return {pid, ppid, megabytes << 20, cpu, QStringLiteral("node")};
}

// An app as the panel shows it: a tree of `processes` (none: stopped), the first on `ports`.
struct AppOnScreen
{
    QString name;
    int processes = 1;
    QList<int64_t> ports{};
    int64_t megabytes = 50;
};

class MonitorFixture : public ::testing::Test
{
protected:
    const Instant t0 = now() - Seconds(3600);
    TestEnvironment env;
    FakePM2 pm2{env};
    Store store{env.settingsFile()};
    std::unique_ptr<Monitor> monitor;
    int applies = 0;

    void SetUp() override
    {
        store.setValue(StoreKey::pm2Path, FakePM2::path());
        snapshots_->second.push_back({.takenAt = t0});
        makeMonitor();
    }
    void makeMonitor()
    {
        // On the monitor's queue: the next pushed snapshot, or else the last one again.
        monitor = std::make_unique<Monitor>(store, [s = snapshots_](const QList<int64_t> &) {
            auto &[lock, queue] = *s;
            std::lock_guard guard(lock);
            if (queue.size() > 1)
                queue.pop_front();
            return queue.front();
        });
        QObject::connect(monitor.get(), &Monitor::lastRefreshChanged, [this] { ++applies; });
    }
    // What the next refresh sees, `at` seconds after t0 (on the wall clock `wallAt` seconds,
    // where that was set differently).
    void push(double at, const QList<ProcessRow> &processes, PortProbe::ListeningPorts ports = {},
              PortProbe::EstablishedCounts counts = {}, std::optional<double> wallAt = {})
    {
        std::lock_guard guard(snapshots_->first);
        snapshots_->second.push_back({processes, ports, counts, t0 + Seconds(wallAt.value_or(at)),
                                      SteadyInstant(Seconds(at))});
    }
    // Waits for `count` more applies, and no more (an automatic stop adds one).
    void waitFor(int count)
    {
        const int target = applies + count;
        ASSERT_TRUE(QTest::qWaitFor([&] { return applies >= target; }, 20'000)) << applies;
        QTest::qWait(50);
        ASSERT_EQ(applies, target);
    }
    void refresh(int count = 1)
    {
        monitor->refresh();
        waitFor(count);
    }
    ServerRow rowOf(const QString &name)
    {
        for (const ServerRow &row : monitor->rows())
            if (row.app.name == name)
                return row;
        ADD_FAILURE() << "no row " << name.toStdString();
        return {};
    }
    // Publishes rows for these apps at once, as a refresh would; pids count from 1000.
    void publish(const QList<AppOnScreen> &apps, Instant at = now())
    {
        QList<PM2App> list;
        SystemSnapshot snapshot{.takenAt = at};
        for (int64_t pid = 1000; const AppOnScreen &app : apps) {
            using enum PM2App::Status;
            list.append({.name = app.name,
                         .pid = app.processes ? std::optional(pid) : std::nullopt,
                         .status = app.processes ? online : stopped});
            snapshot.listeningPorts[pid] = {app.ports.begin(), app.ports.end()};
            for (int p = 0; p < app.processes; ++p)
                snapshot.processes.append(process(pid + p, 1, app.megabytes - p, p ? pid : 1));
            pid += app.processes;
        }
        monitor->apply(list, snapshot, PM2Client(QStringLiteral("/nonexistent/pm2")));
    }

    using Snapshots = std::pair<std::mutex, std::deque<SystemSnapshot>>;
    std::shared_ptr<Snapshots> snapshots_ = std::make_shared<Snapshots>();
};

} // namespace nimbrel::test
