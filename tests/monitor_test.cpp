// The refresh cycle, the samples, the actions and the automatic stop, against the pm2 stand-in
// and snapshots with exactly the numbers each case needs.
#include "support/monitor_fixture.h"

#include <QElapsedTimer>

using namespace nimbrel;
using test::process;
using MonitorTest = test::MonitorFixture;

TEST_F(MonitorTest, theFirstRefreshJoinsTheMachineAndTheSecondMeasuresCpuAndUse)
{
    store.setLastActive({{"api", t0 - Seconds(7200)}, {"gone", t0 - Seconds(60)}});
    pm2.setApps({{"web", 100}, {"api", 200}, {"replaced", 300}, {"old", std::nullopt, "stopped"}});
    push(0, {process(100, 5, 40), process(101, 1, 30, 100), process(200, 100), process(300, 500)},
         {{100, {3000}}, {101, {3001, 3000}}, {999, {9999}}}, {{3000, 2}, {3001, 1}, {9999, 5}});
    refresh();
    const ServerRow web = rowOf("web");
    EXPECT_EQ(web.memoryBytes, 70 << 20);
    EXPECT_EQ(web.ports, (QList<int64_t>{3000, 3001}));
    EXPECT_EQ(web.connections, 3);
    // A new app counts from now; an old time stays, and so do those of apps no longer listed.
    Store::LastActive times{
        {"web", t0}, {"api", t0 - Seconds(7200)}, {"replaced", t0}, {"gone", t0 - Seconds(60)}};
    EXPECT_EQ(store.lastActive(), times);

    // A minute later: 5% is use, 1% is not, and a fallen total (new processes) is, at 0%.
    push(60, {process(100, 7, 40), process(101, 2, 30, 100), process(200, 100.6), process(300, 2)});
    refresh();
    EXPECT_NEAR(rowOf("web").cpuPercent, 5, 1e-9);
    EXPECT_NEAR(rowOf("api").cpuPercent, 1, 1e-9);
    EXPECT_EQ(rowOf("replaced").cpuPercent, 0.0);
    times["web"] = times["replaced"] = t0 + Seconds(60);
    EXPECT_EQ(store.lastActive(), times);

    // The wall clock set back an hour (NTP, a resume) does not change what a minute held.
    push(120, {process(100, 10, 40), process(101, 2, 30, 100), process(200, 100.6)}, {}, {}, -3480);
    refresh();
    EXPECT_NEAR(rowOf("web").cpuPercent, 5, 1e-9);
}

TEST_F(MonitorTest, missingOrFailingPM2KeepsTheRowsAndSamplesAndAStopDropsThem)
{
    pm2.setApps({{"web", 1}});
    push(0, {process(1, 10)});
    refresh();
    store.remove(StoreKey::pm2Path); // missing: the rows and the time of the last refresh stay
    monitor->refresh();
    EXPECT_TRUE(monitor->pm2Missing());
    QTest::qWait(200);
    EXPECT_EQ(monitor->rows().size(), 1);
    EXPECT_EQ(applies, 1);
    store.setValue(StoreKey::pm2Path, test::FakePM2::path());
    pm2.setMode("fail"); // failing: the rows stay, marked as not current
    push(60, {process(1, 13)});
    monitor->refresh();
    ASSERT_TRUE(QTest::qWaitFor([&] { return monitor->listFailure().has_value(); }, 10'000));
    EXPECT_EQ(monitor->listFailure(), "pm2 の一覧を読めません");
    EXPECT_EQ(monitor->rows().size(), 1);
    EXPECT_EQ(monitor->lastRefresh(), t0);
    pm2.setMode("");
    refresh();
    EXPECT_EQ(monitor->listFailure(), std::nullopt);
    EXPECT_NEAR(rowOf("web").cpuPercent, 5.0, 1e-9); // against the sample of the first refresh
    pm2.setApps({{"web", std::nullopt, "stopped"}});
    refresh();
    pm2.setApps({{"web", 1}});
    push(240, {process(1, 99)});
    refresh();
    EXPECT_EQ(rowOf("web").cpuPercent, 0.0); // started again: no CPU from before the stop
}

TEST_F(MonitorTest, stopAllStopsRunningUnpinnedAppsInDisplayedOrderAndCountsNoUse)
{
    store.setPinned({"pinned"});
    pm2.setApps(
        {{"off", {}, "stopped"}, {"small", 1}, {"pinned", 2}, {"new", 3, "launching"}, {"big", 4}});
    push(0, {process(1, 0, 10), process(2, 0, 90), process(3, 0, 20), process(4, 0, 80)});
    refresh();
    const Store::LastActive times = store.lastActive();
    pm2.clearCalls();
    monitor->stopAllIdle();
    EXPECT_EQ(monitor->busyNames(), (QSet<QString>{"big", "new", "small"}));
    waitFor(1);
    EXPECT_EQ(pm2.namesFor("stop"), (QStringList{"big", "new", "small"}));
    EXPECT_EQ(store.lastActive(), times);
}

TEST_F(MonitorTest, idleAppsAreStoppedInTheApplyThatFindsThemWithALimitOfAtLeastAnHour)
{
    store.setValue(StoreKey::idleLimitHours, 0.25);
    store.setValue(StoreKey::autoStopEnabled, false);
    store.setPinned({"pinned"});
    const auto ago = [&](double hours) { return t0 - Seconds(hours * 3600); };
    const Store::LastActive times{{"forgotten", ago(25)},
                                  {"hour", ago(1)},
                                  {"recent", ago(59 / 60.0)},
                                  {"pinned", ago(2000)}};
    store.setLastActive(times);
    // "forgotten" was stopped for a long time and has just been started outside Nimbrel.
    pm2.setApps({{"forgotten", 1}, {"hour", 2}, {"recent", 3}, {"pinned", 4}});
    push(0, {process(1, 0), process(2, 0), process(3, 0), process(4, 0)});
    refresh(); // switched off
    store.setValue(StoreKey::autoStopEnabled, true);
    refresh(2); // the apply, then the refresh after the stops
    EXPECT_EQ(monitor->lastAutoStop(), (Monitor::AutoStop{{"forgotten", "hour"}, t0}));
    EXPECT_EQ(pm2.namesFor("stop"), (QStringList{"forgotten", "hour"}));
    EXPECT_TRUE(monitor->busyNames().isEmpty());
    EXPECT_EQ(store.lastActive(), times); // a stop is no use
    const Instant clicked = now();
    monitor->setRunning("forgotten", true); // but a start by hand is
    EXPECT_GE(store.lastActive().value("forgotten"), clicked);
    waitFor(1);
}

TEST_F(MonitorTest, anAutomaticStopIsNotRedecidedByTheRefreshThatFollowsIt)
{
    // Whether pm2 refuses the stop or says done while the app stays online, the refresh after
    // the stop leaves it alone; only the next one decides again.
    for (const bool refused : {false, true}) {
        makeMonitor();
        pm2.clearCalls();
        store.setLastActive({{"stuck", t0 - Seconds(48 * 3600)}});
        pm2.setApps({{"stuck", 1}});
        refused ? pm2.setFailing("stop") : pm2.setIgnoring("stop");
        for (const double at : {0, 1, 60})
            push(at, {process(1, 0)});
        refresh(2);
        QTest::qWait(500);
        EXPECT_EQ(pm2.namesFor("stop"), QStringList{"stuck"}) << refused;
        refresh(2);
        EXPECT_EQ(monitor->lastAutoStop(), (Monitor::AutoStop{{"stuck"}, t0 + Seconds(60)}));
    }
}

TEST_F(MonitorTest, twoRefreshesQueuedBeforeAnAutomaticStopEndsStopTheAppOnce)
{
    store.setLastActive({{"idle", t0 - Seconds(48 * 3600)}});
    pm2.setApps({{"idle", 1}});
    push(0, {process(1, 0)});
    monitor->refresh();
    monitor->refresh(); // lists before the first one's stop runs
    waitFor(3);         // the two, then the one after the stop
    QTest::qWait(500);
    EXPECT_EQ(pm2.namesFor("stop"), QStringList{"idle"});
}

TEST_F(MonitorTest, neitherASlowPM2NorTheLoginShellHoldsTheCaller)
{
    pm2.setApps({{"web", 1}});
    pm2.setDelay("jlist", 0.5);
    for (int i = 0; i < 3; ++i)
        push(i * 60, {process(1, 10 + i)});
    QElapsedTimer clock;
    clock.start();
    for (int i = 0; i < 3; ++i)
        monitor->refresh();
    EXPECT_LT(clock.elapsed(), 200);
    waitFor(3); // one after another, in order
    EXPECT_EQ(monitor->lastRefresh(), t0 + Seconds(120));

    // With no pm2 known the login shell is asked, on the queue, once; its answer refreshes.
    store.remove(StoreKey::pm2Path);
    const QString shell = env.root() + "/bin/login-shell";
    test::writeFile(shell, "#!/bin/sh\necho >> $0.log\nsleep 1\necho " NIMBREL_FAKE_PM2 "\n", true);
    PM2Locator::shared().usePlaces([&] { return PM2Locator::Places{{}, shell}; });
    clock.restart();
    monitor->refresh();
    EXPECT_LT(clock.elapsed(), 500);
    EXPECT_TRUE(monitor->pm2Missing()); // until it answers
    monitor->refresh();                 // a question already asked is not asked twice
    waitFor(1);
    EXPECT_EQ(test::readFile(shell + ".log"), "\n");
}
