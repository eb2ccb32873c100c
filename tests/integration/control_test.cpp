// The real binary as a user runs it, with real pm2 under a private PM2_HOME and real node
// servers: `--control`, `--screenshot` and `--measure`, and the tray on a machine without a
// display.
#include "app/pm2/pm2_client.h"
#include "app/pm2/pm2_socket.h"
#include "app/store.h"
#include "support/test_environment.h"

#include <QImage>
#include <QProcess>
#include <QScopeGuard>
#include <QTest>

#include <gtest/gtest.h>

#include <csignal>
#include <future>

using namespace nimbrel;

static Shell::Result runNimbrel(const QStringList &arguments)
{
    return Shell::run(NIMBREL_BINARY, arguments, std::nullopt, 120);
}

TEST(Control, listPrintsEachAppsStatusAndNameInPM2sOrder)
{
    // An older daemon than ours, and a cold start: the list starts the daemon.
    const std::tuple<QString, QStringList, QStringList, QString> cases[] = {
        {test::currentPM2, {"api", "web"}, {"web"}, "online\tapi\nstopped\tweb\n"},
        {test::olderPM2, {"legacy-api"}, {}, "online\tlegacy-api\n"},
        {test::currentPM2, {}, {}, ""}};
    for (const auto &[pm2, apps, stopped, printed] : cases) {
        test::TestEnvironment env;
        Store(env.settingsFile()).setValue(StoreKey::pm2Path, test::currentPM2);
        for (const QString &name : apps)
            test::startApp(name, pm2);
        for (const QString &name : stopped)
            ASSERT_EQ(test::pm2({"stop", name}, pm2).status, 0);
        const Shell::Result result = runNimbrel({"--control", "list", "ignored"});
        EXPECT_EQ(result.status, 0);
        EXPECT_EQ(result.output, printed);
        // The daemon runs, even after a cold start; its socket, old or new, gives the rows
        // `pm2 jlist` prints.
        const PM2Socket::Answer answer = PM2Socket::list(PM2Socket::path());
        const QList<PM2App> &fromSocket = answer.apps;
        QList<PM2App> fromCommand = PM2Client(pm2).listByCommand().apps;
        ASSERT_TRUE(answer.kind == PM2Socket::Answer::Kind::apps &&
                    fromSocket.size() == fromCommand.size());
        for (qsizetype i = 0; i < fromCommand.size(); ++i) // measured anew by each call
            fromCommand[i].reportedMemory = fromSocket[i].reportedMemory;
        EXPECT_EQ(fromSocket, fromCommand);
    }
}

TEST(Control, actionsReportTheOutcomeAStartIsActivityAndASilentDaemonFailsTheList)
{
    test::TestEnvironment env;
    Store store(env.settingsFile());
    store.setValue(StoreKey::pm2Path, test::currentPM2);
    test::startApp("shop-api");
    test::startApp("all");
    const std::tuple<QString, QString, int, PM2App::Status> steps[] = {
        {"restart", "shop-api", 0, PM2App::Status::online},
        {"stop", "shop-api", 0, PM2App::Status::stopped},
        {"start", "shop-api", 0, PM2App::Status::online},
        {"stop", "all", 0, PM2App::Status::online}, // the app named "all", not every app
        {"restart", "no-such-app", 1, PM2App::Status::online}};
    Instant previous{};
    for (const auto &[command, name, status, after] : steps) {
        const Instant started = now();
        const Shell::Result result = runNimbrel({"--control", command, name});
        EXPECT_EQ(result.output, command + ": " + name + (status ? " 失敗\n" : " 完了\n"));
        EXPECT_EQ(result.status, status);
        EXPECT_EQ(test::statusOf("shop-api"), after) << command.toStdString();
        const Store::LastActive times = store.lastActive();
        EXPECT_FALSE(times.contains("no-such-app"));
        // A start or restart is activity for the idle stop; a stop or a failure is none.
        const Instant last = times.value("shop-api");
        EXPECT_TRUE(status || command == "stop" ? last == previous
                                                : last >= started && last <= now())
            << command.toStdString();
        previous = last;
    }
    EXPECT_EQ(test::statusOf("all"), PM2App::Status::stopped);

    // The daemon stopped (as a long pause stops it): the list fails with its reason within the
    // socket's limit; `pm2 jlist` (20 s) does not ask the same daemon again.
    const pid_t daemon = pid_t(test::readFile(env.pm2Home() + "/pm2.pid").trimmed().toInt());
    ::kill(daemon, SIGSTOP);
    const auto wake = qScopeGuard([&] { ::kill(daemon, SIGCONT); });
    const Instant started = now();
    const Shell::Result listed = runNimbrel({"--control", "list"});
    EXPECT_EQ(listed.output, "pm2 が応答しません\n");
    EXPECT_EQ(listed.status, 1);
    EXPECT_LT((now() - started).count(), 10.0);
}

// From a terminal, pm2 that only the login shell's rc file puts on PATH: the shell must not stop
// itself reaching for our terminal.
TEST(Control, fromATerminalTheLoginShellFindsPM2)
{
    test::TestEnvironment env;
    const QString tools = env.home(); // a folder none of pm2's usual places
    QFile::link(test::currentPM2, tools + "/pm2");
    test::writeFile(env.home() + "/.bash_profile", "export PATH=" + tools.toUtf8() + ":$PATH\n");
    env.set("SHELL", QStringLiteral("/bin/bash"));
    const Instant started = now();
    const Shell::Result result =
        Shell::run(QStringLiteral("/usr/bin/script"),
                   {"-qec", NIMBREL_BINARY " --control list", "/dev/null"}, std::nullopt, 60);
    EXPECT_EQ(result.status, 0) << result.output.toStdString();
    EXPECT_LT((now() - started).count(), 10.0);
}

// Without a display. First a pm2 that notes what it was given and then hangs with its output
// open: the list costs its limit and no more; the tray quits at once and gives pm2 our
// environment unchanged. (Before any daemon runs, or the list would ask it.)
TEST(NoDisplay, aHangingPM2CostsTheListItsLimitAndTheTrayNothingAndScreenshotsDraw)
{
    test::TestEnvironment env;
    for (const char *display : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        env.set(display, std::nullopt);
    const QString pm2 = env.root() + "/bin/pm2";
    test::writeFile(pm2, "#!/bin/sh\nenv > \"$0.env\"\necho $$ >> \"$0.pid\"\nexec sleep 60\n",
                    true);
    Store(env.settingsFile()).setValue(StoreKey::pm2Path, pm2);
    const auto hanging = [&] { return test::readFile(pm2 + ".pid").split('\n'); }; // one a run
    const auto endHanging = qScopeGuard([&] {
        for (const QByteArray &pid : hanging())
            if (pid.toInt() > 0)
                ::kill(pid_t(pid.toInt()), SIGKILL);
    });
    const Instant started = now();
    const Shell::Result listed = runNimbrel({"--control", "list"});
    EXPECT_EQ(listed.status, 1);
    EXPECT_EQ(listed.output, "pm2 が応答しません\n");
    EXPECT_GE((now() - started).count(), 20.0);
    EXPECT_LT((now() - started).count(), 25.0);

    const qsizetype runs = hanging().size();
    QProcess tray;
    tray.start(QStringLiteral(NIMBREL_BINARY));
    ASSERT_TRUE(QTest::qWaitFor([&] { return hanging().size() > runs; }, 30'000))
        << "the tray never ran pm2";
    ::kill(pid_t(tray.processId()), SIGTERM); // as the session's end, and as the menu's 終了
    EXPECT_TRUE(tray.waitForFinished(5'000)) << "quitting waited for pm2";
    EXPECT_EQ(tray.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(tray.exitCode(), 0);
    const QByteArray childEnvironment = test::readFile(pm2 + ".env");
    EXPECT_TRUE(childEnvironment.contains("PM2_HOME=" + env.pm2Home().toUtf8()));
    EXPECT_FALSE(childEnvironment.contains("QT_QPA_PLATFORM")) << childEnvironment.toStdString();
    // The picture is taken while its pm2 still hangs; neither it nor the tray leaves it behind.
    EXPECT_EQ(runNimbrel({"--screenshot", env.root() + "/hung.png"}).status, 0);
    for (const QByteArray &pid : hanging())
        EXPECT_TRUE(pid.toInt() <= 0 || ::kill(pid_t(pid.toInt()), 0) != 0) << pid.toStdString();

    // `--screenshot` and `--measure` draw the real apps' panel.
    Store(env.settingsFile()).setValue(StoreKey::pm2Path, test::currentPM2);
    test::startApp("shop-api");
    test::startApp("shop-web");
    const auto run = [&](const QStringList &arguments) {
        return std::async(std::launch::async, [arguments] { return runNimbrel(arguments); });
    };
    const QString all = env.root() + "/all.png", none = env.root() + "/none.png";
    const QString nowhere = env.root() + "/no/such/folder/panel.png";
    std::future<Shell::Result> shots[] = {run({"--screenshot", all, "--appearance", "dark"}),
                                          run({"--screenshot", none, "--query", "no-such-server"}),
                                          run({"--screenshot", nowhere})};
    const Shell::Result measured = run({"--measure"}).get();
    EXPECT_EQ(measured.status, 0);
    EXPECT_TRUE(measured.output.startsWith("画面の高さ 0 / 半分 0\n"))
        << measured.output.toStdString();
    for (std::future<Shell::Result> &shot : shots) {
        const Shell::Result result = shot.get();
        EXPECT_EQ(result.status, 0);
        EXPECT_EQ(result.output, ""); // nothing printed, not even Qt's notes
    }
    const QImage allImage(all), noneImage(none);
    ASSERT_FALSE(allImage.isNull() || noneImage.isNull());
    EXPECT_EQ(QList({allImage.width(), noneImage.width()}), QList({560, 560}));
    EXPECT_GT(allImage.height(), 200);
    EXPECT_LT(noneImage.height(), allImage.height()); // two apps' rows against the no-match line
    EXPECT_FALSE(QFile::exists(nowhere));
}
