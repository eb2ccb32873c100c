// The tray app on real desktops: an X server (Xvfb) with the trayer tray host, clicked through
// xdotool; and headless sway with waybar's tray (the D-Bus host of tray items), clicked at and
// typed into through the seat's virtual pointer and keyboard.
#include "app/store.h"
#include "support/pm2_sandbox.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRandomGenerator>
#include <QTest>

#include <gtest/gtest.h>

#include <csignal>
#include <deque>

using namespace nimbrel;

namespace {

const QString panelTitle = QStringLiteral("開発サーバー");
const QString settingsTitle = QStringLiteral("Nimbrel の設定");

// The number after `key` in xdotool's --shell output ("X=", "WIDTH=").
int field(const QString &text, const QString &key)
{
    return ('\n' + text).section('\n' + key, 1).section(u'\n', 0, 0).toInt();
}

// What the desktop tests share: the processes they start end with the test, the last started
// first, gently so that servers remove their sockets.
class Desktop : public ::testing::Test
{
protected:
    test::TestEnvironment env;
    std::deque<QProcess> processes;
    QProcess *nimbrel = nullptr;

    Desktop() { Store(env.settingsFile()).setValue(StoreKey::pm2Path, test::currentPm2); }
    void TearDown() override
    {
        for (auto process = processes.rbegin(); process != processes.rend(); ++process) {
            process->terminate();
            if (!process->waitForFinished(5000))
                process->kill(), process->waitForFinished(5000);
        }
    }
    QString path(const QString &name) const { return env.root() + u'/' + name; }
    // Its output goes to the file `log` under the root, if one is named.
    QProcess &start(const QString &program, const QStringList &arguments, const QString &log = {})
    {
        QProcess &process = processes.emplace_back();
        if (!log.isEmpty())
            process.setProcessChannelMode(QProcess::MergedChannels),
                process.setStandardOutputFile(path(log));
        process.start(program, arguments);
        return process;
    }
    void startNimbrel(const QString &program, const QStringList &arguments)
    {
        nimbrel = &start(program, arguments, "nimbrel.err");
    }
    std::string errors() const { return test::readFile(path("nimbrel.err")).toStdString(); }
    void expectQuit()
    {
        ASSERT_TRUE(nimbrel->waitForFinished(10'000));
        EXPECT_EQ(nimbrel->exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(nimbrel->exitCode(), 0) << errors();
    }
    // Pictures for a person to look at, kept where NIMBREL_TEST_PICTURES says.
    QString picture(const QString &name) const
    {
        return qEnvironmentVariable("NIMBREL_TEST_PICTURES", env.root()) + u'/' + name + ".png";
    }
};

class X11Desktop : public Desktop
{
protected:
    QString screen = QStringLiteral("1280x800x24");

    void SetUp() override
    {
        // A display nobody used lately: a server that is still going away can hold on to a
        // number for a moment after its files are gone.
        int number = QRandomGenerator::global()->bounded(100, 900);
        while (QFile::exists(QString("/tmp/.X%1-lock").arg(number)) ||
               QFile::exists(QString("/tmp/.X11-unix/X%1").arg(number)))
            ++number;
        const QString display = ':' + QString::number(number);
        start("Xvfb", {display, "-screen", "0", screen, "-nolisten", "tcp"});
        env.set("DISPLAY", display);
        // The XEmbed tray, as trayer hosts it: no Wayland and no session bus.
        for (const char *name : {"WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "DBUS_SESSION_BUS_ADDRESS"})
            env.set(name, std::nullopt);
        // The socket comes before the server answers: wait until it answers.
        ASSERT_TRUE(
            QTest::qWaitFor([] { return xdotool({"getdisplaygeometry"}).status == 0; }, 10'000));
    }
    static Shell::Result xdotool(const QStringList &arguments)
    {
        return Shell::run("/usr/bin/xdotool", arguments, std::nullopt, 10);
    }
    void startTray()
    {
        start("trayer", {"--edge", "top", "--align", "right", "--widthtype", "request", "--height",
                         "24", "--transparent", "false"});
    }
    static QList<QRect> windows(const QString &name) // the visible ones of that exact name
    {
        QList<QRect> found;
        const QString ids = xdotool({"search", "--onlyvisible", "--name", '^' + name + '$'}).output;
        for (const QString &id : ids.split(u'\n', Qt::SkipEmptyParts)) {
            const QString info = xdotool({"getwindowgeometry", "--shell", id}).output;
            found.append(QRect(field(info, "X="), field(info, "Y="), field(info, "WIDTH="),
                               field(info, "HEIGHT=")));
        }
        return found;
    }
    static std::optional<QRect> shown(const QString &name)
    {
        QList<QRect> all;
        if (QTest::qWaitFor([&] { return !(all = windows(name)).isEmpty(); }, 15'000))
            return all.front();
        return std::nullopt;
    }
    static bool gone(const QString &name)
    {
        return QTest::qWaitFor([&] { return windows(name).isEmpty(); }, 15'000);
    }
    // trayer's panel grows by one icon when ours docks.
    static std::optional<QRect> dockedIcon()
    {
        std::optional<QRect> icon;
        const auto docked = [&] {
            for (const QRect &panel : windows("panel"))
                if (panel.width() >= 16)
                    icon = panel;
            return icon.has_value();
        };
        if (!QTest::qWaitFor(docked, 20'000))
            return std::nullopt;
        QTest::qWait(500); // the tray maps the docked icon a moment after making room for it
        return icon;
    }
    static void click(QPoint at, const QStringList &how = {"1"})
    {
        xdotool(
            QStringList{"mousemove", QString::number(at.x()), QString::number(at.y()), "click"} +
            how);
    }
    void takePicture(const QString &name)
    {
        Shell::run("/usr/bin/import", {"-window", "root", picture(name)}, std::nullopt, 10);
    }
};

struct SwayWindow
{
    QSize size; // the window's own content, without the compositor's title bar
    bool focused = false;
    bool floating = false;
};
using Settled = std::function<bool(const SwayWindow &)>;
const QPoint icon(1266, 13); // waybar's tray at the right end of a 26-pixel bar, one 18-pixel icon

// sway will not run as root, so the desktop and everything that talks to it live in a user
// namespace; `inside` runs a command there with the session's environment.
class WaylandDesktop : public Desktop
{
protected:
    QProcess *session = nullptr, *input = nullptr;
    QStringList variables;

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
        Store(env.settingsFile()).setValue(StoreKey::openAtLogin, false);
        session = &start("env",
                         {"-u",
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
                          path("sway")},
                         "sway.log");
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
        input = &start("nsenter", inside({NIMBREL_VIRTUAL_INPUT}));
        ASSERT_TRUE(input->waitForReadyRead(10'000) && input->readLine().startsWith("ready"));
    }
    void TearDown() override
    {
        if (const qint64 waybar = test::readFile(path("waybar.pid")).trimmed().toLongLong();
            waybar > 0)
            ::kill(pid_t(waybar), SIGTERM);
        input->closeWriteChannel();
        runInside({"swaymsg", "exit"});
        session->waitForFinished(5000); // its bus goes with it
        Desktop::TearDown();
    }
    QStringList inside(const QStringList &command) const
    {
        return QStringList{"--user",   "--preserve-credentials",
                           "--target", QString::number(session->processId()),
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
        Desktop::startNimbrel("nsenter", inside(settings + QStringList{NIMBREL_BINARY}));
        // The item registers with the watcher.
        ASSERT_TRUE(QTest::qWaitFor(
            [&] {
                return askWatcher({"org.freedesktop.DBus.Properties.Get",
                                   "string:org.kde.StatusNotifierWatcher",
                                   "string:RegisteredStatusNotifierItems"})
                    .output.contains("string \"");
            },
            20'000))
            << errors();
        QTest::qWait(500); // waybar draws the item once it has read its properties
    }
    void act(const QString &line)
    {
        input->write(line.toUtf8() + '\n');
        ASSERT_TRUE(QTest::qWaitFor([&] { return input->canReadLine(); }, 10'000));
        input->readLine();
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
            for (const char *children : {"nodes", "floating_nodes"})
                for (const QJsonValue &child : node[children].toArray())
                    visit(child.toObject());
        };
        visit(
            QJsonDocument::fromJson(runInside({"swaymsg", "-t", "get_tree", "-r"}).output.toUtf8())
                .object());
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

    // One round of everything a user does with the tray, on one of Qt's platforms.
    void useTheTray(const QString &platform)
    {
        for (const char *name : {"api", "web", "docs", "mail", "shop", "blog"})
            test::startApp(name);
        // The panel's natural height, as the same platform measures it.
        const QStringList qpa{"QT_QPA_PLATFORM=" + platform};
        const int natural =
            Shell::run("/usr/bin/nsenter", inside(qpa + QStringList{NIMBREL_BINARY, "--measure"}),
                       std::nullopt, 30)
                .output.section(" x ", 1)
                .trimmed()
                .toInt();
        ASSERT_GT(natural, 300);
        startNimbrel(qpa);

        click(icon);
        ASSERT_TRUE(waitFor(panelTitle, [&](const SwayWindow &w) {
            return w.size == QSize(560, natural) && w.floating && w.focused;
        }));
        runInside({"grim", picture("wayland-" + platform + "-panel")});
        act("type shop"); // six rows of 50 become one; the list keeps its least height, 240
        EXPECT_TRUE(waitFor(panelTitle, [&](auto &w) { return w.size.height() == natural - 60; }));
        act("key esc"); // empties the search
        EXPECT_TRUE(waitFor(panelTitle, [&](auto &w) { return w.size.height() == natural; }));
        act("key esc");
        EXPECT_TRUE(waitFor(panelTitle, {}));

        for (const QPoint second : {QPoint(640, 780), icon}) { // the empty desktop, the icon
            QTest::qWait(600); // apart from the last click, not a double click
            click(icon);
            EXPECT_TRUE(waitFor(panelTitle, [](auto &) { return true; }));
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
        EXPECT_TRUE(waitFor(settingsTitle, [](auto &w) { return w.size == QSize(520, 460); }));
        EXPECT_TRUE(waitFor(panelTitle, {}));
        runInside({"grim", picture("wayland-" + platform + "-settings")});
        menu(3); // 終了
        expectQuit();
    }
};

} // namespace

TEST_F(X11Desktop, theIconOpensThePanelAndTheSettingsAndQuits)
{
    test::startApp("shop-api");
    test::startApp("shop-web");
    startTray();
    startNimbrel(NIMBREL_BINARY, {});
    const std::optional<QRect> icon = dockedIcon();
    ASSERT_TRUE(icon) << "the icon did not dock: " << errors();

    // First start: starting at login is turned on, once.
    EXPECT_TRUE(QTest::qWaitFor(
        [&] { return QFile::exists(env.config() + "/autostart/nimbrel.desktop"); }, 5000));
    EXPECT_EQ(Store(env.settingsFile()).openAtLoginChoice(), true);
    EXPECT_EQ(Store(env.settingsFile()).number(StoreKey::trayPosition), 300);

    click(icon->center());
    std::optional<QRect> popup = shown(panelTitle);
    ASSERT_TRUE(popup);
    EXPECT_EQ(popup->width(), 560);
    EXPECT_GE(popup->top(), icon->top() + 16); // right under the icon
    EXPECT_LE(popup->top(), icon->bottom() + 2);
    EXPECT_LE(popup->right(), 1279); // and on the screen
    QTest::qWait(1500);
    takePicture("desktop-popup");
    click({100, 700}); // outside
    EXPECT_TRUE(gone(panelTitle));

    click(icon->center());
    ASSERT_TRUE(shown(panelTitle));
    QTest::qWait(600);     // a second click sooner would make a double click, which opens
    click(icon->center()); // the icon again closes it
    EXPECT_TRUE(gone(panelTitle));
    QTest::qWait(600);
    click(icon->center(), {"--repeat", "2", "--delay", "80", "1"});
    QTest::qWait(800);
    EXPECT_TRUE(shown(panelTitle)) << "a double click leaves it open";
    click({100, 700});
    EXPECT_TRUE(gone(panelTitle));

    // The footer: "設定", then "終了" while the settings window is open.
    QTest::qWait(600);
    click(icon->center());
    ASSERT_TRUE(popup = shown(panelTitle));
    click({popup->left() + 396, popup->bottom() - 37});
    const std::optional<QRect> settings = shown(settingsTitle);
    ASSERT_TRUE(settings);
    EXPECT_EQ(settings->size(), QSize(520, 460));
    EXPECT_TRUE(gone(panelTitle));
    takePicture("desktop-settings");
    click(icon->center());
    ASSERT_TRUE(popup = shown(panelTitle));
    click({popup->left() + 498, popup->bottom() - 37});
    expectQuit();
}

TEST_F(X11Desktop, aTrayThatAppearsLateStillGetsTheIcon)
{
    Store(env.settingsFile()).setValue(StoreKey::openAtLogin, false);
    startNimbrel(NIMBREL_BINARY, {});
    QTest::qWait(1500);
    startTray();
    ASSERT_TRUE(dockedIcon()) << errors();
    EXPECT_FALSE(QDir(env.config() + "/autostart").exists()); // the user said no: left alone
}

class SmallScreen : public X11Desktop
{
protected:
    SmallScreen() { screen = QStringLiteral("1280x720x24"); }
    static QRect popup() { return shown(panelTitle).value_or(QRect()); }
    static bool heightBecomes(int wanted)
    {
        return QTest::qWaitFor([&] { return popup().height() == wanted; }, 10'000);
    }
};

TEST_F(SmallScreen, thePopupStaysOnTheScreenAndFollowsThePanelBothWays)
{
    // Measured on this screen, and nothing else done: --measure wins over --control.
    const Shell::Result measured =
        Shell::run(NIMBREL_BINARY, {"--measure", "--control", "list"}, std::nullopt, 30);
    EXPECT_EQ(measured.status, 0);
    const QStringList lines = measured.output.split(u'\n', Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), 2) << measured.output.toStdString();
    EXPECT_EQ(lines[0], "画面の高さ 720 / 半分 360");
    EXPECT_TRUE(lines[1].startsWith("吹き出しの実寸 560 x ")) << lines[1].toStdString();

    // Twelve rows want more than the screen; a height once dragged on a taller one is stored.
    test::startApp("many", test::currentPm2, 12);
    Store(env.settingsFile()).setValue(StoreKey::panelHeight, 2000.0);
    startTray();
    startNimbrel(NIMBREL_BINARY, {});
    const std::optional<QRect> icon = dockedIcon();
    ASSERT_TRUE(icon) << errors();
    click(icon->center());
    ASSERT_TRUE(shown(panelTitle));
    QTest::qWait(1500); // the rows arrive with the refresh
    const QRect full = popup();
    EXPECT_TRUE(QRect(0, 0, 1280, 720).contains(full)) << full.y() << " + " << full.height();
    EXPECT_GE(full.height(), 700); // the list took what there is
    takePicture("desktop-small-screen");

    xdotool({"type", "zzz"}); // matches nothing: the list keeps its least, 240
    EXPECT_TRUE(QTest::qWaitFor([&] { return popup().height() < 500; }, 10'000));
    xdotool({"key", "Escape"}); // empties the search
    EXPECT_TRUE(heightBecomes(full.height()));
    // Dragged up by the grabber at its bottom edge, the popup shrinks with it.
    const QString x = QString::number(full.center().x());
    const int y = full.bottom() - 6;
    xdotool({"mousemove", x, QString::number(y), "mousedown", "1", "mousemove", x,
             QString::number(y - 50), "mousemove", x, QString::number(y - 100), "mouseup", "1"});
    EXPECT_TRUE(heightBecomes(full.height() - 100));
    EXPECT_TRUE(QRect(0, 0, 1280, 720).contains(popup()));
}

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
    test::startApp("api");
    startNimbrel({"QT_QPA_PLATFORM=xcb", "WAYLAND_DISPLAY=", "XDG_SESSION_TYPE=x11"});
    click(icon);
    QString popup;
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            popup = runInside({"xdotool", "search", "--onlyvisible", "--name",
                               '^' + panelTitle + '$', "getwindowgeometry", "--shell"})
                        .output;
            return popup.contains("WIDTH=560");
        },
        15'000));
    const QRect at(field(popup, "X="), field(popup, "Y="), 560, field(popup, "HEIGHT="));
    const QString pointer = runInside({"xdotool", "getmouselocation", "--shell"}).output;
    EXPECT_EQ(at.left(), std::clamp(field(pointer, "X=") - 280, 0, 1280 - 560));
    EXPECT_TRUE(QRect(0, 0, 1280, 800).contains(at)) << at.y() << " + " << at.height();
    runInside({"grim", picture("x11-dbus-popup")});
}
