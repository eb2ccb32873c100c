// The tray app on a headless Wayland desktop: sway with waybar's tray (the D-Bus host of tray
// items), clicked at and typed into through the seat's virtual pointer and keyboard. sway will
// not run as root, so the desktop and everything that talks to it live in a user namespace.
#include "app/store.h"
#include "support/pm2_sandbox.h"
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
    QSize size; // the window's own content, without the compositor's title bar
    bool focused = false;
    bool floating = false;
};
using Settled = std::function<bool(const SwayWindow &)>;

const QPoint icon(1266, 13); // waybar's tray at the right end of a 26-pixel bar, one 18-pixel icon
const QString panelTitle = QStringLiteral("開発サーバー");
const Settled shown = [](const SwayWindow &) { return true; };

// The number after `key` ("X=") in xdotool's --shell output.
int field(const QString &text, const QString &key)
{
    return text.section('\n' + key, 1).section(u'\n', 0, 0).toInt();
}

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
        test::writeFile(path("sway"),
                        QStringLiteral("output HEADLESS-1 resolution 1280x800\n"
                                       "xwayland enable\n"
                                       "exec sh -c 'env > %1.tmp && mv %1.tmp %1'\n"
                                       "exec sh -c 'echo $$ > %2; exec waybar -c %3'\n")
                            .arg(path("session.env"), path("waybar.pid"), path("waybar.json"))
                            .toUtf8());
        test::writeFile(path("waybar.json"), R"({"height": 26, "modules-right": ["tray"],
                                                 "tray": {"icon-size": 18}})");
        Store store(env.settingsFile());
        store.setValue(StoreKey::pm2Path, test::currentPm2);
        store.setValue(StoreKey::openAtLogin, false);
        session.setProcessChannelMode(QProcess::MergedChannels);
        session.setStandardOutputFile(path("sway.log"));
        session.start("env", {"-u",
                              "DISPLAY",
                              "-u",
                              "WAYLAND_DISPLAY",
                              "-u",
                              "DBUS_SESSION_BUS_ADDRESS",
                              "XDG_RUNTIME_DIR=" + path("run"),
                              "WLR_BACKENDS=headless",
                              "WLR_LIBINPUT_NO_DEVICES=1",
                              "WLR_RENDERER=pixman",
                              "NO_AT_BRIDGE=1", // no accessibility bus to outlive the session
                              "unshare",
                              "--user",
                              "--map-user=1000",
                              "--map-group=1000",
                              "--",
                              "dbus-run-session",
                              "--",
                              "sway",
                              "-c",
                              path("sway")});
        ASSERT_TRUE(QTest::qWaitFor([&] { return QFile::exists(path("session.env")); }, 20'000))
            << test::readFile(path("sway.log")).toStdString();
        variables = QString(test::readFile(path("session.env"))).split(u'\n', Qt::SkipEmptyParts);
        // Qt's Wayland and D-Bus tray plugins keep memory to the end and are unloaded before
        // the leak report, so their leaks cannot be named for suppression; the X11 tests and
        // the widget tests check our own code for leaks.
        variables.append("ASAN_OPTIONS=detect_leaks=0");
        // The tray's watcher is waybar's: items can register once it is on the bus.
        ASSERT_TRUE(QTest::qWaitFor(
            [&] { return askWatcher({"org.freedesktop.DBus.Peer.Ping"}).status == 0; }, 20'000));
        input.start("nsenter", inside({NIMBREL_VIRTUAL_INPUT}));
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
    Shell::Result askWatcher(const QStringList &call) const
    {
        return runInside(QStringList{"dbus-send", "--session", "--print-reply",
                                     "--dest=org.kde.StatusNotifierWatcher",
                                     "/StatusNotifierWatcher"} +
                         call);
    }
    void startNimbrel(const QStringList &settings)
    {
        nimbrel.setStandardErrorFile(path("nimbrel.err"));
        nimbrel.start("nsenter", inside(settings + QStringList{NIMBREL_BINARY}));
        // The item registers with the watcher.
        ASSERT_TRUE(QTest::qWaitFor(
            [&] {
                return askWatcher({"org.freedesktop.DBus.Properties.Get",
                                   "string:org.kde.StatusNotifierWatcher",
                                   "string:RegisteredStatusNotifierItems"})
                    .output.contains("string \"");
            },
            20'000))
            << test::readFile(path("nimbrel.err")).toStdString();
        QTest::qWait(500); // waybar draws the item once it has read its properties
    }
    void act(const QString &line)
    {
        input.write(line.toUtf8() + '\n');
        ASSERT_TRUE(QTest::qWaitFor([&] { return input.canReadLine(); }, 10'000));
        input.readLine();
    }
    void click(QPoint at, const QString &button = "left")
    {
        act(QStringLiteral("move %1 %2").arg(at.x()).arg(at.y()));
        act("click " + button);
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
            const QJsonObject own = node["window_rect"].toObject();
            if (node["name"].toString() == title)
                found = SwayWindow{QSize(own["width"].toInt(), own["height"].toInt()),
                                   node["focused"].toBool(), node["type"] == "floating_con"};
            for (const char *children : {"nodes", "floating_nodes"}) {
                for (const QJsonValue &child : node[children].toArray())
                    visit(child.toObject());
            }
        };
        const QString tree = runInside({"swaymsg", "-t", "get_tree", "-r"}).output;
        visit(QJsonDocument::fromJson(tree.toUtf8()).object());
        return found;
    }
    // Until the window is there and `settled` holds for it, or without a condition until it is
    // gone; true when that came about.
    bool waitFor(const QString &title, const Settled &settled)
    {
        return QTest::qWaitFor(
            [&] {
                const auto found = window(title);
                return settled ? found && settled(*found) : !found;
            },
            15'000);
    }
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
        ASSERT_TRUE(waitFor(panelTitle, [&](const SwayWindow &w) {
            return w.size == QSize(560, natural) && w.floating && w.focused;
        }));
        picture("wayland-" + platform + "-panel");
        act("type shop"); // six rows of 50 become one; the list keeps its least height, 240
        EXPECT_TRUE(waitFor(panelTitle, [&](auto &w) { return w.size.height() == natural - 60; }));
        act("key esc"); // empties the search
        EXPECT_TRUE(waitFor(panelTitle, [&](auto &w) { return w.size.height() == natural; }));
        act("key esc");
        EXPECT_TRUE(waitFor(panelTitle, {}));

        for (const QPoint second : {QPoint(640, 780), icon}) { // the empty desktop, the icon
            QTest::qWait(600); // apart from the last click, not a double click
            click(icon);
            EXPECT_TRUE(waitFor(panelTitle, shown));
            QTest::qWait(600);
            click(second);
            EXPECT_TRUE(waitFor(panelTitle, {})) << second.x();
        }
        QTest::qWait(600);
        act("click left"); // a double click: waybar makes three calls of it
        act("click left");
        QTest::qWait(1000);
        EXPECT_TRUE(window(panelTitle)) << "a double click leaves it open";

        menu(2); // 設定
        EXPECT_TRUE(waitFor(QStringLiteral("Nimbrel の設定"),
                            [](auto &w) { return w.size == QSize(520, 460); }));
        EXPECT_TRUE(waitFor(panelTitle, {}));
        picture("wayland-" + platform + "-settings");
        menu(3); // 終了
        ASSERT_TRUE(
            QTest::qWaitFor([&] { return nimbrel.state() == QProcess::NotRunning; }, 10'000));
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
    QString popup;
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            popup = runInside({"xdotool", "search", "--onlyvisible", "--name",
                               "^" + panelTitle + "$", "getwindowgeometry", "--shell"})
                        .output;
            return popup.contains("WIDTH=560");
        },
        15'000));
    const QRect at(field(popup, "X="), field(popup, "Y="), 560, field(popup, "HEIGHT="));
    const QString pointer = runInside({"xdotool", "getmouselocation", "--shell"}).output;
    EXPECT_EQ(at.left(), std::clamp(field('\n' + pointer, "X=") - 280, 0, 1280 - 560));
    EXPECT_TRUE(QRect(0, 0, 1280, 800).contains(at)) << at.y() << " + " << at.height();
    picture("x11-dbus-popup");
}
