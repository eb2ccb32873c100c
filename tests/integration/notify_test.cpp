// What the user is told, on a private session bus (the tests run under dbus-run-session) with a
// notification service of our own: the texts, the buttons and what they do, the folding of
// repeats, the fallbacks; then real pm2 crash loops and the real tray's automatic stop.
#include "app/bus/pm2_bus.h"
#include "app/monitor.h"
#include "app/notify/announcer.h"
#include "app/notify/desktop_notifications.h"
#include "support/fake_pm2.h"
#include "support/test_environment.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QProcess>
#include <QTest>

#include <gtest/gtest.h>

#include <csignal>

using namespace nimbrel;

namespace {

// The desktop's notification service, as a test wants it, on a connection of its own.
class FakeNotifications : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")

public:
    struct Shown
    {
        uint id;
        uint replaces;
        QString summary;
        QString body;
        QStringList actions;
        QVariantMap hints;
    };
    QList<Shown> shown;
    QList<uint> closedIds;
    QStringList capabilities{QStringLiteral("body"), QStringLiteral("actions")};
    int questions = 0;

    FakeNotifications()
        : bus_(QDBusConnection::connectToBus(QDBusConnection::SessionBus, QStringLiteral("fake")))
    {
        EXPECT_TRUE(
            bus_.registerObject(DesktopNotifications::path, this, QDBusConnection::ExportAllSlots));
        EXPECT_TRUE(bus_.registerService(DesktopNotifications::service));
    }
    ~FakeNotifications() override
    {
        bus_.unregisterService(DesktopNotifications::service);
        bus_.unregisterObject(DesktopNotifications::path);
    }
    void press(uint id, const QString &action)
    {
        QDBusMessage signal = QDBusMessage::createSignal(
            DesktopNotifications::path, DesktopNotifications::service, "ActionInvoked");
        signal << id << action;
        bus_.send(signal);
    }
    bool waitForShown(qsizetype count, int ms = 5000)
    {
        return QTest::qWaitFor([&] { return shown.size() >= count; }, ms);
    }

public Q_SLOTS:
    QStringList GetCapabilities()
    {
        ++questions;
        return capabilities;
    }
    uint Notify(const QString &, uint replaces, const QString &, const QString &summary,
                const QString &body, const QStringList &actions, const QVariantMap &hints, int)
    {
        const uint id = replaces ? replaces : uint(shown.size() + 1);
        shown.append({id, replaces, summary, body, actions, hints});
        return id;
    }
    void CloseNotification(uint id) { closedIds.append(id); }

private:
    QDBusConnection bus_;
};

QStringList buttons(const FakeNotifications::Shown &shown)
{
    QStringList labels;
    for (qsizetype i = 1; i < shown.actions.size(); i += 2)
        labels.append(shown.actions.at(i));
    return labels;
}

ProcessEvent event(const char *what, const char *name, const char *status, bool restarts = true)
{
    return {.event = what, .name = name, .status = status, .restarts = restarts};
}

// A monitor on the pm2 stand-in, the bus (not connected: the test says what it heard) and the
// notices, as the tray puts them together.
struct Told
{
    test::TestEnvironment env;
    test::FakePM2 pm2{env};
    Store store{env.settingsFile()};
    Monitor monitor{store, [](const QList<int64_t> &) { return SystemSnapshot{.takenAt = now()}; }};
    PM2Bus bus{env.root() + QStringLiteral("/no.sock")};
    DesktopNotifications notifications;
    Announcer announcer{store, monitor, bus, notifications};
    Told() { store.setValue(StoreKey::pm2Path, test::FakePM2::path()); }
};

} // namespace

TEST(Notify, automaticStopsAndGivenUpAppsAreToldFoldedAndAnswered)
{
    FakeNotifications service;
    Told told;
    told.announcer.setLogOpener([](const QString &) {});
    told.announcer.setHeldPorts([] {
        return Announcer::HeldPorts{{"b", {3000}}, {"f", {80, 81}}};
    });
    emit told.monitor.autoStopped({"a", "b", "c", "d", "e"});
    ASSERT_TRUE(service.waitForShown(1));
    QTest::qWait(100);                    // its id is known
    emit told.monitor.autoStopped({"f"}); // while the first is up: one notice for both
    ASSERT_TRUE(service.waitForShown(2));
    const auto &[first, second] = std::pair(service.shown.at(0), service.shown.at(1));
    EXPECT_EQ(first.summary, "自動で止めました");
    EXPECT_EQ(first.body,
              "a、b、c ほか2件\n24時間使われていませんでした\n次のアクセスで自動で起動します"
              "\n待機中のポート: b :3000");
    EXPECT_EQ(second.body,
              "a、b、c ほか3件\n24時間使われていませんでした\n次のアクセスで自動で起動します"
              "\n待機中のポート: b :3000、f :80 :81");
    EXPECT_EQ(QList({first.replaces, second.replaces}), QList({0u, first.id}));
    EXPECT_EQ(first.actions,
              QStringList({"default", "開く", Announcer::startAgainAction, "もう一度起動"}));
    EXPECT_EQ(first.hints.value("desktop-entry"), "dev.nimbrel.Nimbrel");

    // The button starts exactly those apps, counts as their use, and the notice goes.
    QList<test::FakeApp> listed;
    for (const char *name : {"a", "b", "c", "d", "e", "f", "g"})
        listed.append(test::FakeApp{.name = name, .pid = {}});
    told.pm2.setApps(listed);
    const Instant pressed = now();
    service.press(first.id, Announcer::startAgainAction);
    ASSERT_TRUE(QTest::qWaitFor([&] { return told.pm2.namesFor("start").size() == 6; }, 5000));
    EXPECT_EQ(told.pm2.namesFor("start"), QStringList({"a", "b", "c", "d", "e", "f"}));
    EXPECT_GE(told.store.lastActive().value("f"), pressed);
    EXPECT_TRUE(QTest::qWaitFor([&] { return service.closedIds == QList{first.id}; }, 2000));

    // pm2 giving up is told once per app (overlimit, then exit); a stop by anyone is not.
    const ProcessEvent events[] = {event("restart overlimit", "web", "errored"),
                                   event("exit", "web", "errored"),
                                   event("exit", "api", "stopping"),
                                   event("exit", "api", "stopped"),
                                   event("exit", "job", "stopped", false),
                                   event("exit", "cron", "stopped"), // restarted
                                   event("online", "web", "online"),
                                   event("exit", "web", "errored")};
    for (const ProcessEvent &e : events)
        emit told.bus.processEvent(e);
    ASSERT_TRUE(service.waitForShown(5));
    QTest::qWait(100);
    ASSERT_EQ(service.shown.size(), 5);
    const QStringList summaries = {service.shown[2].summary, service.shown[3].summary,
                                   service.shown[4].summary};
    EXPECT_EQ(summaries, QStringList({"web がエラーで止まりました", "job が終了しました",
                                      "web がエラーで止まりました"}));
    EXPECT_EQ(service.shown[4].replaces, service.shown[2].id);
    EXPECT_EQ(buttons(service.shown[2]), QStringList({"開く", "ログ"}));
    EXPECT_EQ(service.questions, 1);
}

TEST(Notify, withoutButtonsWithoutAServiceAndWhenSwitchedOff)
{
    struct Case
    {
        const char *what;
        bool service;
        QStringList capabilities;
        bool enabled;
        QStringList actions; // of the one notice shown, if any
        QStringList elsewhere;
    };
    const Case cases[] = {
        {"a service without actions", true, {"body"}, true, {}, {}},
        {"no service: the tray's balloon", false, {}, true, {}, {"自動で止めました"}},
        {"switched off", true, {"actions"}, false, {}, {}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        std::optional<FakeNotifications> service;
        if (c.service) {
            service.emplace();
            service->capabilities = c.capabilities;
        }
        Told told;
        told.store.setValue(StoreKey::notificationsEnabled, c.enabled);
        QStringList elsewhere;
        told.notifications.setFallback([&](const QString &summary, const QString &) {
            elsewhere.append(summary);
            return true;
        });
        emit told.monitor.autoStopped({"a"});
        QTest::qWait(300);
        EXPECT_EQ(elsewhere, c.elsewhere);
        if (service) {
            ASSERT_EQ(service->shown.size(), qsizetype(c.enabled));
            if (c.enabled) {
                EXPECT_EQ(service->shown[0].actions, c.actions);
            }
        }
    }
}

TEST(Notify, aRealCrashLoopIsToldAtOnceAndItsRowSaysSo)
{
    for (const QString &version : {test::currentPM2, test::olderPM2}) {
        SCOPED_TRACE(version.toStdString());
        FakeNotifications service;
        test::TestEnvironment env;
        Store store(env.settingsFile());
        store.setValue(StoreKey::pm2Path, test::currentPM2);
        test::startApp("web", version);
        Monitor monitor(store);
        PM2Bus bus(PM2Bus::defaultPath());
        DesktopNotifications notifications;
        Announcer announcer(store, monitor, bus, notifications);
        monitor.follow(bus);
        QStringList heard;
        QObject::connect(&bus, &PM2Bus::processEvent, [&](const ProcessEvent &e) {
            heard.append(e.name + u' ' + e.event + u' ' + e.status);
        });
        bus.start();
        ASSERT_TRUE(bus.isConnected());

        ASSERT_EQ(test::pm2({"restart", "web"}, version).status, 0);
        ASSERT_EQ(test::pm2({"stop", "web"}, version).status, 0);
        // Dies at once, every time: pm2 gives up after two quick restarts.
        test::writeFile(env.root() + "/crash.js", "setTimeout(() => process.exit(1), 100);\n");
        test::writeFile(env.root() + "/ecosystem.config.js",
                        "module.exports = {apps: [{name: 'crasher', script: '" +
                            env.root().toUtf8() +
                            "/crash.js', max_restarts: 2, min_uptime: 5000}]};\n");
        ASSERT_EQ(test::pm2({"start", env.root() + "/ecosystem.config.js"}, version).status, 0);
        QElapsedTimer sinceGivenUp;
        ASSERT_TRUE(QTest::qWaitFor(
            [&] {
                if (!sinceGivenUp.isValid() &&
                    heard.contains(QStringLiteral("crasher restart overlimit errored")))
                    sinceGivenUp.start();
                return !service.shown.isEmpty();
            },
            10'000))
            << heard.join(u'\n').toStdString();
        EXPECT_LT(sinceGivenUp.elapsed(), 2000);
        EXPECT_EQ(service.shown.at(0).summary, "crasher がエラーで止まりました")
            << heard.join(u'\n').toStdString();
        for (const char *line : {"web restart online", "web stop stopped", "web exit stopping",
                                 "crasher exit errored", "crasher online launching"})
            EXPECT_TRUE(heard.contains(QLatin1String(line))) << line;

        // The row follows without a regular refresh.
        const auto crasher = [&]() -> std::optional<PM2App> {
            for (const ServerRow &row : monitor.rows())
                if (row.app.name == u"crasher")
                    return row.app;
            return std::nullopt;
        };
        ASSERT_TRUE(QTest::qWaitFor(
            [&] { return crasher() && crasher()->status == PM2App::Status::errored; }, 3000));
        EXPECT_EQ(crasher()->restarts, 1); // restarted once, given up after the second crash
        QTest::qWait(300);
        EXPECT_EQ(service.shown.size(), 1);
    }
}

// The program as the user runs it: its first refresh stops an app idle past the limit, the
// notice comes within 10 s of its start, and its button brings the app back for good.
TEST(Notify, theTraysAutomaticStopIsToldAndItsButtonBringsTheAppBack)
{
    FakeNotifications service;
    test::TestEnvironment env;
    env.set("DISPLAY", std::nullopt);
    env.set("WAYLAND_DISPLAY", std::nullopt);
    Store store(env.settingsFile());
    store.setValue(StoreKey::pm2Path, test::currentPM2);
    store.setValue(StoreKey::openAtLogin, false);
    store.setValue(StoreKey::idleLimitHours, 1.0);
    test::startApp("idle-app");
    store.setLastActive({{"idle-app", now() - Seconds(7200)}});

    QProcess tray;
    tray.start(QStringLiteral(NIMBREL_BINARY));
    const auto quit = qScopeGuard([&] {
        ::kill(pid_t(tray.processId()), SIGTERM);
        tray.waitForFinished(5000);
    });
    ASSERT_TRUE(service.waitForShown(1, 10'000));
    EXPECT_TRUE(
        service.shown[0].body.startsWith("idle-app\n1時間使われていませんでした\n次のア"
                                         "クセスで自動で起動します\n待機中のポート: idle-app :"))
        << service.shown[0].body.toStdString();
    EXPECT_EQ(test::statusOf("idle-app"), PM2App::Status::stopped);

    service.press(service.shown[0].id, Announcer::startAgainAction);
    ASSERT_TRUE(QTest::qWaitFor([] { return test::statusOf("idle-app") == PM2App::Status::online; },
                                15'000));
    EXPECT_TRUE(QTest::qWaitFor([&] { return service.closedIds == QList{service.shown[0].id}; }));
    QTest::qWait(3000); // the refreshes its start and pm2's events bring leave it running
    EXPECT_EQ(test::statusOf("idle-app"), PM2App::Status::online);
    EXPECT_EQ(service.shown.size(), 1);
}

#include "notify_test.moc"
