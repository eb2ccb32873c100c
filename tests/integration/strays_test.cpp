// Servers that outlive pm2's stop, with real pm2 and node: Nimbrel's stops end them, the panel
// shows them and ends them, and nothing else is touched.
#include "app/monitor.h"
#include "support/test_environment.h"

#include <QProcess>
#include <QScopeGuard>
#include <QTest>

#include <gtest/gtest.h>

#include <csignal>

using namespace nimbrel;

namespace {

struct Server
{
    int64_t pid = 0;
    int64_t port = 0;
};

// Starts the stray server as `name` in `mode` and waits until its child listens.
Server startServer(test::TestEnvironment &env, const char *mode, const QString &pm2,
                   const QStringList &extra = {}, const QString &name = "web")
{
    const QString file = env.root() + "/server-" + name;
    env.set("MODE", mode);
    env.set("STRAYS_FILE", file);
    const Shell::Result started =
        test::pm2(QStringList{"start", NIMBREL_STRAY_SERVER, "--name", name} + extra, pm2);
    EXPECT_EQ(started.status, 0) << started.output.toStdString();
    QList<QByteArray> words;
    const auto listening = [&] {
        return (words = test::readFile(file).trimmed().split(' ')).size() == 2;
    };
    return QTest::qWaitFor(listening, 10'000) ? Server{words[0].toLongLong(), words[1].toLongLong()}
                                              : Server{};
}

// The server's process is gone (or a zombie) and its port is free.
bool ended(const Server &server)
{
    const QByteArray stat = test::readFile(QStringLiteral("/proc/%1/stat").arg(server.pid));
    const int fd = test::connectToLoopback(server.port);
    if (fd >= 0)
        ::close(fd);
    return (stat.isEmpty() || stat.contains(") Z ")) && fd < 0;
}

} // namespace

// A mode of the server, the pm2 that runs it with its options, and how many processes are left
// for us to end after pm2's stop.
using Shape = std::tuple<const char *, QString, QStringList, qsizetype>;
class StrayShapes : public ::testing::TestWithParam<Shape>
{};

TEST_P(StrayShapes, whatPM2sStopLeavesIsEndedAndWhatPM2EndsIsLeftToIt)
{
    const auto &[mode, pm2, extra, left] = GetParam();
    test::TestEnvironment env;
    const Server server = startServer(env, mode, pm2, extra);
    ASSERT_GT(server.pid, 0);
    const auto kill = qScopeGuard([&] { ::kill(pid_t(server.pid), SIGKILL); });
    const PM2Client client(pm2);
    Strays::StrayTracker tracker;
    tracker.observe(client.list().apps, SystemProbe::snapshot());
    ASSERT_TRUE(client.stop("web"));
    EXPECT_EQ(tracker.finishStop("web").size(), left);
    EXPECT_TRUE(ended(server));
}

INSTANTIATE_TEST_SUITE_P(
    Strays, StrayShapes,
    ::testing::Values(Shape{"launcher", test::currentPM2, {"--no-autorestart"}, 1}, // to pid 1
                      Shape{"stubborn", test::olderPM2, {}, 1}, // 6.x sends SIGINT alone
                      Shape{"child", test::currentPM2, {"--no-treekill"}, 1},
                      Shape{"detached", test::currentPM2, {}, 0}), // below the app: pm2 ends it
    [](const auto &shape) { return std::string(std::get<0>(shape.param)); });

TEST(Strays, thePanelShowsWhatALauncherLeftAndEndsItAndEveryStopFinishesTheJobAndNoMore)
{
    test::TestEnvironment env;
    Server servers[4];
    const auto kill = qScopeGuard([&] {
        for (const Server &server : servers)
            ::kill(pid_t(server.pid), SIGKILL);
    });
    servers[0] = startServer(env, "launcher", test::currentPM2, {"--no-autorestart"}, "left");
    servers[1] = startServer(env, "child", test::currentPM2, {"--no-treekill"}, "one");
    servers[2] = startServer(env, "child", test::currentPM2, {"--no-treekill"}, "all");
    servers[3] = startServer(env, "launcher", test::currentPM2, {"--no-autorestart"}, "cli");
    Store store(env.settingsFile());
    store.setValue(StoreKey::pm2Path, test::currentPM2);
    Monitor monitor(store);
    int applies = 0;
    QObject::connect(&monitor, &Monitor::lastRefreshChanged, [&] { ++applies; });
    const auto strays = [&](const QString &name) {
        return std::ranges::find(monitor.rows(), name, &ServerRow::id)->strays;
    };
    monitor.refresh();
    ASSERT_TRUE(QTest::qWaitFor([&] { return applies == 1; }, 20'000));
    ASSERT_EQ(strays("left").size(), 1);
    EXPECT_EQ(strays("left").front().process.pid, servers[0].pid);
    EXPECT_EQ(strays("left").front().ports, QList<int64_t>{servers[0].port});
    EXPECT_TRUE(strays("one").isEmpty()); // online, and not restarted

    // The row's button, the row's stop, and the stop of all.
    const std::function<void()> actions[] = {[&] { monitor.endStrays("left"); },
                                             [&] { monitor.setRunning("one", false); },
                                             [&] { monitor.stopAllIdle(); }};
    for (int i = 0; i < 3; ++i) {
        actions[i]();
        ASSERT_TRUE(QTest::qWaitFor([&] { return applies == 2 + i; }, 20'000));
        EXPECT_TRUE(ended(servers[i])) << i;
    }
    EXPECT_TRUE(strays("left").isEmpty());

    // The command line's, beside processes of the same user: one marked for another app (of
    // cli's name), one of another pm2.
    const QStringList marks[] = {{"PM2_HOME=" + env.pm2Home(), "pm_id=1", "name=cli"},
                                 {"PM2_HOME=/elsewhere", "pm_id=3", "name=cli"}};
    QProcess others[2];
    for (int i = 0; i < 2; ++i) {
        others[i].setEnvironment(marks[i]);
        others[i].start("/bin/sleep", {"60"});
        ASSERT_TRUE(others[i].waitForStarted());
    }
    QElapsedTimer clock;
    clock.start();
    const Shell::Result stopped =
        Shell::run(NIMBREL_BINARY, {"--control", "stop", "cli"}, std::nullopt, 60);
    EXPECT_EQ(stopped.output, "stop: cli 完了\n");
    EXPECT_TRUE(ended(servers[3]));
    EXPECT_LT(clock.elapsed(), 5000);
    for (const QProcess &other : others)
        EXPECT_EQ(other.state(), QProcess::Running);
}
