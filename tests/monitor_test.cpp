// The refresh cycle, the samples, the actions and the automatic stop, against the pm2 stand-in
// and snapshots with exactly the numbers each case needs.
#include "app/monitor.h"
#include "app/pm2_locator.h"
#include "support/fake_pm2.h"
#include "support/test_environment.h"

#include <QElapsedTimer>
#include <QTest>

#include <gtest/gtest.h>

#include <mutex>

using namespace nimbrel;
using test::FakeApp;

namespace {

const Instant t0 = now() - Seconds(3600);

// The machine as the test wants the next refreshes to see it, one snapshot after another; once
// they are used up, the last one again.
class FakeSystem
{
public:
    void push(SystemSnapshot snapshot)
    {
        std::lock_guard guard(lock_);
        queued_.push_back(std::move(snapshot));
    }
    SystemSnapshot take()
    {
        std::lock_guard guard(lock_);
        if (!queued_.empty()) {
            last_ = std::move(queued_.front());
            queued_.erase(queued_.begin());
        }
        return last_;
    }

private:
    std::mutex lock_;
    std::vector<SystemSnapshot> queued_;
    SystemSnapshot last_{.takenAt = t0};
};

struct Process
{
    int64_t pid;
    double cpu;
    int64_t megabytes = 50;
    int64_t ppid = 0;
};

SystemSnapshot machine(double at, const QList<Process> &processes,
                       PortProbe::ListeningPorts ports = {},
                       PortProbe::EstablishedCounts counts = {})
{
    SystemSnapshot snapshot;
    for (const Process &p : processes)
        snapshot.processes.append(
            {p.pid, p.ppid, p.megabytes << 20, p.cpu, QStringLiteral("node")});
    snapshot.listeningPorts = std::move(ports);
    snapshot.establishedCounts = std::move(counts);
    snapshot.takenAt = t0 + Seconds(at);
    return snapshot;
}

class MonitorTest : public ::testing::Test
{
protected:
    test::TestEnvironment env;
    test::FakePm2 pm2{env};
    Store store{env.settingsFile()};
    std::shared_ptr<FakeSystem> system = std::make_shared<FakeSystem>();
    std::unique_ptr<Monitor> monitor;
    int applies = 0;

    void SetUp() override
    {
        store.setValue(StoreKey::pm2Path, test::FakePm2::path());
        makeMonitor();
    }
    void makeMonitor()
    {
        monitor = std::make_unique<Monitor>(
            store, [system = system](const QList<int64_t> &) { return system->take(); });
        QObject::connect(monitor.get(), &Monitor::lastRefreshChanged, [this] { ++applies; });
    }
    // Refreshes and waits until `count` applies happened (an automatic stop adds one).
    void refresh(int count = 1)
    {
        const int target = applies + count;
        monitor->refresh();
        waitForApplies(target);
    }
    void waitForApplies(int target)
    {
        ASSERT_TRUE(QTest::qWaitFor([&] { return applies >= target; }, 20'000))
            << "applies: " << applies << " of " << target;
        QTest::qWait(50); // nothing more is on its way
        ASSERT_EQ(applies, target);
    }
    const ServerRow &rowOf(const QString &name)
    {
        for (const ServerRow &row : monitor->rows()) {
            if (row.app.name == name)
                return row;
        }
        static const ServerRow none;
        ADD_FAILURE() << "no row " << name.toStdString();
        return none;
    }
    std::optional<Instant> storedLastActive(const QString &name)
    {
        const Store::LastActive times = store.lastActive();
        return times.contains(name) ? std::optional(times.value(name)) : std::nullopt;
    }
};

} // namespace

TEST_F(MonitorTest, firstRefreshJoinsTheMachineAndStartsIdleTimeOnlyWhereNoneIsKnown)
{
    store.setLastActive({{"api", t0 - Seconds(7200)}, {"gone", t0 - Seconds(60)}});
    pm2.setApps({{"web", 100}, {"api", 200}, {"old", std::nullopt, "stopped"}});
    system->push(machine(0, {{100, 5.0, 40}, {101, 1.0, 30, 100}, {200, 9.0}},
                         {{100, {3000}}, {101, {3001, 3000}}, {999, {9999}}},
                         {{3000, 2}, {3001, 1}, {9999, 5}}));
    refresh();

    const ServerRow &web = rowOf("web");
    EXPECT_EQ(web.memoryBytes, 70 << 20);
    EXPECT_EQ(web.ports, (QList<int64_t>{3000, 3001}));
    EXPECT_EQ(web.connections, 3);
    EXPECT_EQ(web.cpuPercent, 0.0); // no earlier sample
    EXPECT_EQ(web.processes.size(), 2);
    EXPECT_EQ(web.lastActive, t0);
    EXPECT_EQ(rowOf("api").lastActive, t0 - Seconds(7200)); // an old time stays
    EXPECT_EQ(rowOf("old").lastActive, std::nullopt);
    EXPECT_EQ(rowOf("old").memoryBytes, 0);
    EXPECT_EQ(monitor->lastRefresh(), t0);
    EXPECT_EQ(monitor->runningCount(), 2);
    EXPECT_EQ(monitor->totalMemory(), (70 + 50) << 20);

    // Written back, with the times of apps no longer listed kept.
    EXPECT_EQ(storedLastActive("web"), t0);
    EXPECT_EQ(storedLastActive("gone"), t0 - Seconds(60));
}

TEST_F(MonitorTest, secondRefreshMeasuresCpuAndMovesTheTimesOfBusyApps)
{
    const Instant earlier = t0 - Seconds(1800);
    struct Case
    {
        const char *name;
        Process before, after;
        int64_t connectionsBefore, connectionsAfter;
        double cpuPercent;
        bool busy;
    };
    const Case cases[] = {
        {"cpu", {1, 100.0}, {1, 103.0}, 0, 0, 5.0, true},
        {"quiet", {2, 100.0}, {2, 100.6}, 2, 2, 1.0, false},
        {"replaced", {3, 500.0}, {3, 2.0}, 0, 0, 0.0, true},
        {"connected", {4, 7.0}, {4, 7.0}, 2, 3, 0.0, true},
        {"held", {5, 7.0}, {5, 7.0}, 1, 1, 0.0, false},
        {"closed", {6, 7.0}, {6, 7.0}, 4, 0, 0.0, false},
    };
    QList<FakeApp> apps;
    QList<Process> before, after;
    PortProbe::ListeningPorts ports;
    PortProbe::EstablishedCounts countsBefore, countsAfter;
    Store::LastActive times;
    for (const Case &c : cases) {
        apps.append({c.name, c.before.pid});
        before.append(c.before);
        after.append(c.after);
        ports[c.before.pid] = {3000 + c.before.pid};
        countsBefore[3000 + c.before.pid] = c.connectionsBefore;
        countsAfter[3000 + c.before.pid] = c.connectionsAfter;
        times[c.name] = earlier;
    }
    store.setLastActive(times);
    pm2.setApps(apps);
    system->push(machine(0, before, ports, countsBefore));
    system->push(machine(60, after, ports, countsAfter));
    refresh();
    refresh();

    for (const Case &c : cases) {
        EXPECT_NEAR(rowOf(c.name).cpuPercent, c.cpuPercent, 1e-9) << c.name;
        EXPECT_EQ(rowOf(c.name).lastActive, c.busy ? t0 + Seconds(60) : earlier) << c.name;
        EXPECT_EQ(storedLastActive(c.name), rowOf(c.name).lastActive) << c.name;
    }
}

TEST_F(MonitorTest, aClockSetBackShowsNoCpuAndMakesNoAppBusy)
{
    store.setLastActive({{"web", t0 - Seconds(600)}});
    pm2.setApps({{"web", 1}});
    system->push(machine(0, {{1, 10.0}}));
    system->push(machine(-300, {{1, 90.0}}, {{1, {3000}}}, {{3000, 9}}));
    refresh();
    refresh();
    EXPECT_EQ(rowOf("web").cpuPercent, 0.0);
    EXPECT_EQ(rowOf("web").lastActive, t0 - Seconds(600));
}

TEST_F(MonitorTest, sameNamedAppsShareOneSampleAndStoppedAppsLoseTheirs)
{
    pm2.setApps({{"twin", 1}, {"twin", 2}, {"web", 3}});
    system->push(machine(0, {{1, 10.0}, {2, 50.0}, {3, 10.0}}));
    system->push(machine(60, {{1, 16.0}, {2, 50.0}, {3, 16.0}}));
    refresh();
    refresh();
    ASSERT_EQ(monitor->rows().size(), 3);
    // The first twin compares with the sample the second stored last time (its CPU fell), the
    // second with the one the first stored a moment ago (no interval): both show 0%.
    for (const ServerRow &row : monitor->rows()) {
        if (row.app.name == u"twin") {
            EXPECT_EQ(row.cpuPercent, 0.0) << *row.app.pid;
        }
    }
    EXPECT_NEAR(rowOf("web").cpuPercent, 10.0, 1e-9);

    // Stopped, then running again: a fresh start, no CPU from the old sample.
    pm2.setApps({{"web", std::nullopt, "stopped"}});
    system->push(machine(120, {}));
    refresh();
    pm2.setApps({{"web", 3}});
    system->push(machine(180, {{3, 99.0}}));
    refresh();
    EXPECT_EQ(rowOf("web").cpuPercent, 0.0);
}

TEST_F(MonitorTest, missingAndFailingPm2)
{
    pm2.setApps({{"web", 1}});
    system->push(machine(0, {{1, 10.0}}));
    refresh();
    ASSERT_EQ(monitor->rows().size(), 1);

    // Missing: the rows and the time of the last refresh stay.
    store.remove(StoreKey::pm2Path);
    monitor->refresh();
    EXPECT_TRUE(monitor->pm2Missing());
    QTest::qWait(200);
    EXPECT_EQ(monitor->rows().size(), 1);
    EXPECT_EQ(monitor->lastRefresh(), t0);
    EXPECT_EQ(applies, 1);

    // Failing: no rows, but the refresh happened, and the samples survive it.
    store.setValue(StoreKey::pm2Path, test::FakePm2::path());
    pm2.setMode("fail");
    system->push(machine(60, {{1, 13.0}}));
    refresh();
    EXPECT_FALSE(monitor->pm2Missing());
    EXPECT_TRUE(monitor->rows().isEmpty());
    EXPECT_EQ(monitor->lastRefresh(), t0 + Seconds(60));

    pm2.setMode("");
    system->push(machine(120, {{1, 16.0}}));
    refresh();
    EXPECT_NEAR(rowOf("web").cpuPercent, 5.0, 1e-9); // against the sample of the first refresh
}

TEST_F(MonitorTest, refreshesWaitInLineAndAreAppliedInOrderWithoutBlockingTheCaller)
{
    pm2.setApps({{"web", 1}});
    pm2.setDelay("jlist", 0.5);
    for (int i = 0; i < 3; ++i)
        system->push(machine(i * 60, {{1, 10.0 + i}}));
    system->push(machine(180, {{1, 13.0}}));

    QList<Instant> applied;
    QObject::connect(monitor.get(), &Monitor::lastRefreshChanged,
                     [&] { applied.append(*monitor->lastRefresh()); });
    QElapsedTimer clock;
    clock.start();
    for (int i = 0; i < 3; ++i)
        monitor->refresh();
    EXPECT_LT(clock.elapsed(), 200); // the main thread never waits for a command
    waitForApplies(3);
    EXPECT_EQ(applied, (QList<Instant>{t0, t0 + Seconds(60), t0 + Seconds(120)}));
}

TEST_F(MonitorTest, startAndStopFromARowAreBusyUntilDoneAndCountAsUse)
{
    pm2.setApps({{"web", std::nullopt, "stopped"}, {"api", 2}});
    system->push(machine(0, {{2, 1.0}}));
    refresh();
    pm2.clearCalls();
    pm2.setDelay("start", 0.5);

    const Instant clicked = now();
    monitor->setRunning("web", true);
    EXPECT_EQ(monitor->busyNames(), QSet<QString>{"web"});
    EXPECT_GE(storedLastActive("web"), clicked);
    monitor->setRunning("api", false);
    EXPECT_EQ(monitor->busyNames(), (QSet<QString>{"web", "api"}));
    waitForApplies(applies + 2);
    EXPECT_TRUE(monitor->busyNames().isEmpty());
    EXPECT_GE(storedLastActive("api"), clicked);
    EXPECT_EQ(pm2.calls(),
              (QList<QStringList>{{"start", "web"}, {"stop", "api"}, {"jlist"}, {"jlist"}}));
}

TEST_F(MonitorTest, stopAllStopsRunningUnpinnedAppsInDisplayedOrder)
{
    store.setPinned({"pinned"});
    pm2.setApps({{"stopped", std::nullopt, "stopped"},
                 {"small", 1},
                 {"pinned", 2},
                 {"launching", 3, "launching"},
                 {"big", 4}});
    system->push(machine(0, {{1, 0, 10}, {2, 0, 90}, {3, 0, 20}, {4, 0, 80}}));
    refresh();
    const Store::LastActive timesBefore = store.lastActive();
    pm2.clearCalls();

    monitor->stopAllIdle();
    EXPECT_EQ(monitor->busyNames(), (QSet<QString>{"big", "launching", "small"}));
    waitForApplies(applies + 1);
    EXPECT_EQ(pm2.namesFor("stop"), (QStringList{"big", "launching", "small"}));
    EXPECT_TRUE(monitor->busyNames().isEmpty());
    EXPECT_EQ(store.lastActive(), timesBefore);

    // Nothing to stop: nothing happens, not even a refresh.
    pm2.setApps({{"pinned", 2}});
    refresh();
    pm2.clearCalls();
    monitor->stopAllIdle();
    QTest::qWait(300);
    EXPECT_TRUE(pm2.calls().isEmpty());
}

TEST_F(MonitorTest, pinTogglesAndShowsAfterTheRefresh)
{
    pm2.setApps({{"web", 1}});
    system->push(machine(0, {{1, 0}}));
    refresh();
    EXPECT_FALSE(rowOf("web").pinned);

    const int target = applies + 1;
    monitor->togglePin("web");
    EXPECT_EQ(store.pinned(), QSet<QString>{"web"});
    waitForApplies(target);
    EXPECT_TRUE(rowOf("web").pinned);

    monitor->togglePin("web");
    waitForApplies(target + 1);
    EXPECT_FALSE(rowOf("web").pinned);
    EXPECT_TRUE(store.pinned().isEmpty());
}

TEST_F(MonitorTest, forgottenAppsAreStoppedInTheApplyThatFindsThem)
{
    store.setPinned({"pinned"});
    store.setLastActive({{"forgotten", t0 - Seconds(25 * 3600)},
                         {"recent", t0 - Seconds(23 * 3600 + 59 * 60)},
                         {"pinned", t0 - Seconds(90 * 24 * 3600)},
                         {"also", t0 - Seconds(24 * 3600)}});
    // "forgotten" was stopped for a long time and has just been started outside Nimbrel.
    pm2.setApps({{"forgotten", 1}, {"recent", 2}, {"pinned", 3}, {"also", 4}});
    system->push(machine(0, {{1, 0}, {2, 0}, {3, 0}, {4, 0}}));
    refresh(2); // the apply, then the refresh after the stops

    ASSERT_TRUE(monitor->lastAutoStop());
    EXPECT_EQ(monitor->lastAutoStop()->names, (QStringList{"forgotten", "also"}));
    EXPECT_EQ(monitor->lastAutoStop()->at, t0);
    EXPECT_EQ(pm2.namesFor("stop"), (QStringList{"forgotten", "also"}));
    EXPECT_TRUE(monitor->busyNames().isEmpty());
    EXPECT_EQ(storedLastActive("forgotten"), t0 - Seconds(25 * 3600)); // unchanged by the stop
}

TEST_F(MonitorTest, theIdleLimitIsAtLeastAnHourAndTheSwitchIsHonoured)
{
    store.setValue(StoreKey::idleLimitHours, 0.25);
    store.setLastActive({{"web", t0 - Seconds(3600)}, {"api", t0 - Seconds(3540)}});
    pm2.setApps({{"web", 1}, {"api", 2}});
    system->push(machine(0, {{1, 0}, {2, 0}}));
    refresh(2);
    EXPECT_EQ(pm2.namesFor("stop"), QStringList{"web"});

    store.setValue(StoreKey::autoStopEnabled, false);
    pm2.clearCalls();
    const auto before = monitor->lastAutoStop();
    refresh();
    EXPECT_TRUE(pm2.namesFor("stop").isEmpty());
    EXPECT_EQ(monitor->lastAutoStop(), before);
}

TEST_F(MonitorTest, anAutomaticStopIsNotRedecidedByTheRefreshThatFollowsIt)
{
    // Whether pm2 refuses the stop or says done while the app stays online, the refresh after
    // the stop leaves it alone; only the next one decides again.
    for (const bool refused : {true, false}) {
        makeMonitor();
        pm2.clearCalls();
        store.setLastActive({{"stuck", t0 - Seconds(48 * 3600)}});
        pm2.setApps({{"stuck", 1}});
        pm2.setFailing("stop", refused);
        if (!refused)
            pm2.setIgnoring("stop");
        system->push(machine(0, {{1, 0}}));
        system->push(machine(1, {{1, 0}}));
        system->push(machine(60, {{1, 0}}));
        refresh(2);
        EXPECT_EQ(pm2.namesFor("stop"), QStringList{"stuck"});
        EXPECT_EQ(monitor->lastAutoStop()->at, t0);
        QTest::qWait(500);
        EXPECT_EQ(pm2.namesFor("stop").size(), 1) << refused;

        refresh(2); // the next refresh tries again
        EXPECT_EQ(pm2.namesFor("stop"), (QStringList{"stuck", "stuck"}));
        EXPECT_EQ(monitor->lastAutoStop()->at, t0 + Seconds(60));
    }
}

TEST_F(MonitorTest, theSortKeyIsStoredAndReordersTheRows)
{
    pm2.setApps({{"light", 1}, {"heavy", 2}});
    system->push(machine(0, {{1, 0, 10}, {2, 0, 90}}));
    system->push(machine(60, {{1, 30.0, 10}, {2, 0, 90}}));
    refresh();
    refresh();
    EXPECT_EQ(monitor->rows().front().app.name, "heavy");

    int sortSignals = 0;
    QObject::connect(monitor.get(), &Monitor::changed, [&] { ++sortSignals; });
    monitor->setSortKey(SortKey::cpu);
    EXPECT_EQ(monitor->rows().front().app.name, "light");
    EXPECT_EQ(store.text(StoreKey::sortKey), "cpu");
    monitor->setSortKey(SortKey::cpu);
    EXPECT_EQ(sortSignals, 4); // the key and the re-sorted rows, at every assignment

    store.setValue(StoreKey::sortKey, QStringLiteral("CPU"));
    makeMonitor();
    EXPECT_EQ(monitor->sortKey(), SortKey::memory);
}

TEST_F(MonitorTest, theLoginShellIsAskedOnTheQueueAndItsAnswerRefreshes)
{
    store.remove(StoreKey::pm2Path);
    const QString shell = env.root() + "/bin/login-shell";
    test::writeFile(shell, "#!/bin/sh\nsleep 1\necho " NIMBREL_FAKE_PM2 "\n", true);
    Pm2Locator::shared().usePlaces([&] { return Pm2Locator::Places{{}, shell}; });
    pm2.setApps({{"web", 1}});
    system->push(machine(0, {{1, 10.0}}));

    QElapsedTimer clock;
    clock.start();
    monitor->refresh();
    EXPECT_LT(clock.elapsed(), 500);    // the main thread never waits for the shell
    EXPECT_TRUE(monitor->pm2Missing()); // until it answers
    monitor->refresh();                 // a question already asked is not asked twice
    EXPECT_TRUE(QTest::qWaitFor([&] { return applies == 1; }, 10'000));
    EXPECT_FALSE(monitor->pm2Missing());
    EXPECT_EQ(monitor->rows().size(), 1);
}
