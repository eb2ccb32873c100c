// The tray app on a headless Wayland desktop: sway with waybar's tray (the D-Bus host of tray
// items), clicked at and typed into through the seat's virtual pointer and keyboard. sway will
// not run as root, so the desktop and everything that talks to it live in a user namespace.
#include "app/store.h"
#include "integration/pm2_sandbox.h"
#include "support/test_environment.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTest>

#include <gtest/gtest.h>

#include <csignal>

using namespace nimbrel;

namespace {

struct SwayWindow
{
    QRect rect; // the window's own content, without the compositor's title bar
    bool focused = false;
    bool floating = false;
};

const QPoint icon(1266, 13); // waybar's tray at the right end of a 26-pixel bar, one 18-pixel icon
const QString panelTitle = QStringLiteral("開発サーバー");

class WaylandDesktop : public ::testing::Test
{
protected:
    test::TestEnvironment env;
    test::Pm2Sandbox pm2{env.pm2Home()};
    QProcess session, input, nimbrel;
    QStringList variables; // the session's, for everything run inside it

    QString path(const QString &name) const { return env.root() + u'/' + name; }

    void SetUp() override
    {
        QDir().mkpath(path("run"));
        QFile::setPermissions(path("run"), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        test::writeFile(env.config() + "/sway/config",
                        QStringLiteral("output HEADLESS-1 resolution 1280x800 position 0 0\n"
                                       "xwayland enable\n"
                                       "exec sh -c 'env > %1.tmp && mv %1.tmp %1'\n"
                                       "exec sh -c 'echo $$ > %2; exec waybar -c %3 > %4 2>&1'\n")
                            .arg(path("session.env"), path("waybar.pid"),
                                 env.config() + "/waybar.json", path("waybar.log"))
                            .toUtf8());
        test::writeFile(env.config() + "/waybar.json",
                        R"({"position": "top", "height": 26, "modules-right": ["tray"],
                            "tray": {"icon-size": 18}})");
        Store store(env.settingsFile());
        store.setValue(StoreKey::pm2Path, test::currentPm2);
        store.setValue(StoreKey::openAtLogin, false);

        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "DBUS_SESSION_BUS_ADDRESS"})
            environment.remove(name);
        environment.insert("XDG_RUNTIME_DIR", path("run"));
        environment.insert("WLR_BACKENDS", "headless");
        environment.insert("WLR_LIBINPUT_NO_DEVICES", "1");
        environment.insert("WLR_RENDERER", "pixman");
        environment.insert("NO_AT_BRIDGE", "1"); // no accessibility bus to outlive the session
        session.setProcessEnvironment(environment);
        session.setStandardOutputFile(path("sway.log"));
        session.setStandardErrorFile(path("sway.log"), QIODevice::Append);
        session.start("unshare",
                      {"--user", "--map-user=1000", "--map-group=1000", "--", "dbus-run-session",
                       "--", "sway", "-c", env.config() + "/sway/config"});
        ASSERT_TRUE(QTest::qWaitFor([&] { return QFile::exists(path("session.env")); }, 20'000))
            << test::readFile(path("sway.log")).toStdString();
        const QRegularExpression wanted(
            "^(DBUS_SESSION_BUS_ADDRESS|WAYLAND_DISPLAY|DISPLAY|SWAYSOCK|"
            "XDG_RUNTIME_DIR|HOME|XDG_CONFIG_HOME|PM2_HOME|PATH|LANG|TZ)=");
        for (const QString &line : QString(test::readFile(path("session.env"))).split(u'\n')) {
            if (wanted.match(line).hasMatch())
                variables.append(line);
        }
        // Qt's Wayland and D-Bus tray plugins keep memory to the end and are unloaded before
        // the leak report, so their leaks cannot be named for suppression; the X11 tests and
        // the widget tests check our own code for leaks.
        variables.append("ASAN_OPTIONS=detect_leaks=0");
        // The tray's watcher is waybar's: items can register once it is on the bus.
        ASSERT_TRUE(QTest::qWaitFor(
            [&] {
                return runInside({"dbus-send", "--session", "--dest=org.kde.StatusNotifierWatcher",
                                  "/StatusNotifierWatcher", "org.freedesktop.DBus.Peer.Ping"})
                           .status == 0;
            },
            20'000));
        input.start("nsenter", inside({NIMBREL_VIRTUAL_INPUT, "1280", "800"}));
        ASSERT_TRUE(input.waitForReadyRead(10'000) && input.readLine().startsWith("ready"));
    }
    void TearDown() override
    {
        const qint64 waybar = test::readFile(path("waybar.pid")).trimmed().toLongLong();
        if (waybar > 0)
            ::kill(pid_t(waybar), SIGTERM);
        input.closeWriteChannel();
        runInside({"swaymsg", "exit"});
        session.waitForFinished(5000); // its bus goes with it
        for (QProcess *process : {&nimbrel, &input, &session}) {
            process->terminate();
            if (!process->waitForFinished(5000)) {
                process->kill();
                process->waitForFinished(5000);
            }
        }
    }
    QStringList inside(const QStringList &command) const
    {
        return QStringList{"--user",   "--preserve-credentials",
                           "--target", QString::number(session.processId()),
                           "env",      "-i"} +
               variables + command;
    }
    Shell::Result runInside(const QStringList &command) const
    {
        return Shell::run("/usr/bin/nsenter", inside(command), std::nullopt, 10);
    }
    void startNimbrel(const QStringList &settings)
    {
        nimbrel.setStandardErrorFile(path("nimbrel.err"));
        nimbrel.start("nsenter", inside(settings + QStringList{NIMBREL_BINARY}));
        ASSERT_TRUE(nimbrel.waitForStarted());
        ASSERT_TRUE(QTest::qWaitFor([&] { return !registeredItems().isEmpty(); }, 20'000))
            << test::readFile(path("nimbrel.err")).toStdString();
        QTest::qWait(500); // waybar draws the item once it has read its properties
    }
    QString registeredItems() const
    {
        return runInside({"dbus-send", "--session", "--print-reply",
                          "--dest=org.kde.StatusNotifierWatcher", "/StatusNotifierWatcher",
                          "org.freedesktop.DBus.Properties.Get",
                          "string:org.kde.StatusNotifierWatcher",
                          "string:RegisteredStatusNotifierItems"})
            .output.section("array [", 1)
            .section(u']', 0, 0)
            .trimmed();
    }
    void act(const QString &line)
    {
        input.write(line.toUtf8() + '\n');
        ASSERT_TRUE(QTest::qWaitFor([&] { return input.canReadLine(); }, 10'000))
            << line.toStdString();
        input.readLine();
    }
    void click(QPoint at, const char *button = "left")
    {
        act(QStringLiteral("move %1 %2").arg(at.x()).arg(at.y()));
        act(QStringLiteral("click ") + button);
    }
    void menu(int entry) // waybar's menu hangs from the icon, 28 pixels an entry
    {
        click(icon, "right");
        QTest::qWait(700);
        click({1180, 5 + 28 * entry});
    }
    std::optional<SwayWindow> window(const QString &title) const
    {
        std::optional<SwayWindow> found;
        const std::function<void(const QJsonObject &)> visit = [&](const QJsonObject &node) {
            if (node["name"].toString() == title) {
                const QJsonObject at = node["rect"].toObject(),
                                  own = node["window_rect"].toObject();
                found = SwayWindow{QRect(at["x"].toInt() + own["x"].toInt(),
                                         at["y"].toInt() + own["y"].toInt(), own["width"].toInt(),
                                         own["height"].toInt()),
                                   node["focused"].toBool(), node["type"] == "floating_con"};
            }
            for (const char *children : {"nodes", "floating_nodes"}) {
                for (const QJsonValue &child : node[children].toArray())
                    visit(child.toObject());
            }
        };
        visit(
            QJsonDocument::fromJson(runInside({"swaymsg", "-t", "get_tree", "-r"}).output.toUtf8())
                .object());
        return found;
    }
    // Waits until the window is there and `settled` holds for it, or until it is gone (no
    // condition); true when that came about.
    bool waitFor(const QString &title, const std::function<bool(const SwayWindow &)> &settled)
    {
        return QTest::qWaitFor(
            [&] {
                const auto found = window(title);
                return settled ? found && settled(*found) : !found;
            },
            15'000);
    }
    static bool shown(const SwayWindow &) { return true; }
    void picture(const QString &name)
    {
        const QString folder = qEnvironmentVariable("NIMBREL_TEST_PICTURES", env.root());
        runInside({"grim", folder + u'/' + name + ".png"});
    }

    // One round of everything a user does with the tray, on one of Qt's platforms.
    void useTheTray(const QString &platform)
    {
        for (const char *name : {"api", "web", "docs", "mail", "shop", "blog"})
            pm2.startApp(name);
        // The panel's natural height, as the same platform measures it.
        QProcess measure;
        measure.start("nsenter",
                      inside({"QT_QPA_PLATFORM=" + platform, NIMBREL_BINARY, "--measure"}));
        startNimbrel({"QT_QPA_PLATFORM=" + platform});
        ASSERT_TRUE(measure.waitForFinished(30'000));
        const int natural = QString(measure.readAll()).section(" x ", 1).trimmed().toInt();
        ASSERT_GT(natural, 300);

        click(icon);
        ASSERT_TRUE(waitFor(panelTitle,
                            [&](const SwayWindow &w) {
                                return w.rect.size() == QSize(560, natural) && w.floating &&
                                       w.focused;
                            }))
            << window(panelTitle).value_or(SwayWindow{}).rect.height() << " of " << natural;
        picture("wayland-" + platform + "-panel");
        act("type shop"); // six rows of 50 become one; the list keeps its least height, 240
        EXPECT_TRUE(waitFor(panelTitle,
                            [&](const SwayWindow &w) { return w.rect.height() == natural - 60; }));
        picture("wayland-" + platform + "-search");
        act("key esc"); // empties the search
        EXPECT_TRUE(
            waitFor(panelTitle, [&](const SwayWindow &w) { return w.rect.height() == natural; }));
        act("key esc");
        EXPECT_TRUE(waitFor(panelTitle, {}));

        QTest::qWait(500);
        click(icon);
        EXPECT_TRUE(waitFor(panelTitle, shown));
        click({640, 780}); // the empty desktop under the floating window
        EXPECT_TRUE(waitFor(panelTitle, {})) << "a click elsewhere closes it";
        QTest::qWait(600);
        click(icon);
        EXPECT_TRUE(waitFor(panelTitle, shown));
        QTest::qWait(600);
        click(icon);
        EXPECT_TRUE(waitFor(panelTitle, {})) << "the icon closes it";
        QTest::qWait(600);
        act("click left"); // a double click: waybar makes three calls of it
        act("click left");
        QTest::qWait(1000);
        EXPECT_TRUE(window(panelTitle)) << "a double click leaves it open";

        menu(2); // 設定
        EXPECT_TRUE(waitFor(QStringLiteral("Nimbrel の設定"),
                            [](const SwayWindow &w) { return w.rect.size() == QSize(520, 460); }));
        EXPECT_TRUE(waitFor(panelTitle, {}));
        picture("wayland-" + platform + "-settings");
        menu(3); // 終了
        ASSERT_TRUE(
            QTest::qWaitFor([&] { return nimbrel.state() == QProcess::NotRunning; }, 10'000))
            << test::readFile(path("nimbrel.err")).toStdString();
        EXPECT_EQ(nimbrel.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(nimbrel.exitCode(), 0) << test::readFile(path("nimbrel.err")).toStdString();
    }
};

} // namespace

TEST_F(WaylandDesktop, nativeWayland)
{
    useTheTray("wayland");
}

TEST_F(WaylandDesktop, throughXWayland)
{
    useTheTray("xcb");
}

TEST_F(WaylandDesktop, onX11TheDBusTrayGetsThePopupAtThePointer)
{
    // An X11 session whose tray speaks D-Bus and gives no icon geometry: the X server here is
    // XWayland, the tray waybar's.
    pm2.startApp("api");
    startNimbrel({"QT_QPA_PLATFORM=xcb", "WAYLAND_DISPLAY=", "XDG_SESSION_TYPE=x11"});
    click(icon);
    QRect popup;
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            const QString id =
                runInside({"xdotool", "search", "--onlyvisible", "--name", "^" + panelTitle + "$"})
                    .output.section(u'\n', 0, 0);
            const QString info = runInside({"xwininfo", "-id", id}).output;
            const auto value = [&](const QString &key) {
                return info.section(key, 1).section(u'\n', 0, 0).trimmed().toInt();
            };
            popup = QRect(value("Absolute upper-left X:"), value("Absolute upper-left Y:"),
                          value("Width:"), value("Height:"));
            return !id.isEmpty();
        },
        15'000));
    const QString pointer = runInside({"xdotool", "getmouselocation", "--shell"}).output;
    const int x = pointer.section("X=", 1).section(u'\n', 0, 0).toInt();
    EXPECT_EQ(popup.left(), std::clamp(x - 280, 0, 1280 - 560)) << "centred on the pointer";
    EXPECT_TRUE(QRect(0, 0, 1280, 800).contains(popup)) << popup.y() << " " << popup.height();
    picture("x11-dbus-popup");
}
