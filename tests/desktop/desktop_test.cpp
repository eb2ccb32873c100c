// The tray app on real desktops: an X server (Xvfb) with the trayer tray host, clicked through
// xdotool; and headless sway with waybar's tray (the D-Bus host of tray items), clicked at and
// typed into through the seat's virtual pointer and keyboard.
#include "app/store.h"
#include "support/test_environment.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
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

struct Window
{
    QRect rect;
    bool focused = true, floating = true;
};

// What both desktops share. The processes a test starts end with it, the last started first and
// gently, so that servers remove their sockets.
class Desktop : public ::testing::Test
{
protected:
    test::TestEnvironment env;
    std::deque<QProcess> processes;
    QProcess *nimbrel = nullptr;

    Desktop() { Store(env.settingsFile()).setValue(StoreKey::pm2Path, test::currentPM2); }
    void TearDown() override
    {
        for (auto process = processes.rbegin(); process != processes.rend(); ++process) {
            process->terminate();
            if (!process->waitForFinished(5000))
                process->kill();
            process->waitForFinished(5000);
        }
    }
    QString path(const QString &name) const { return env.root() + u'/' + name; }
    // Its output goes to the file `log` under the root, if one is named.
    QProcess &start(const QString &program, const QStringList &arguments, const QString &log = {})
    {
        QProcess &process = processes.emplace_back();
        if (!log.isEmpty()) {
            process.setProcessChannelMode(QProcess::MergedChannels);
            process.setStandardOutputFile(path(log));
        }
        process.start(program, arguments);
        return process;
    }
    std::string errors() const { return test::readFile(path("nimbrel.err")).toStdString(); }
    // Pictures for a person to look at, kept where NIMBREL_TEST_PICTURES says.
    QString picture(const QString &name) const
    {
        return qEnvironmentVariable("NIMBREL_TEST_PICTURES", env.root()) + u'/' + name + ".png";
    }

    virtual std::optional<Window> window(const QString &title) const = 0;
    virtual void click(QPoint at) = 0;
    // Until the window is there and `settled` holds for it.
    std::optional<Window> shown(const QString &title,
                                const std::function<bool(const Window &)> &settled = {},
                                int timeout = 15'000) const
    {
        std::optional<Window> found;
        if (QTest::qWaitFor(
                [&] { return (found = window(title)) && (!settled || settled(*found)); }, timeout))
            return found;
        return std::nullopt;
    }
    bool gone(const QString &t) const
    {
        return QTest::qWaitFor([&] { return !window(t); }, 15000);
    }
    // The icon opens the panel; a click on the empty desktop closes it, and so does the icon.
    void openAndClose(QPoint icon, QPoint outside)
    {
        for (const QPoint second : {outside, icon}) {
            QTest::qWait(600); // apart from the last click, not a double click
            click(icon);
            EXPECT_TRUE(shown(panelTitle));
            QTest::qWait(600);
            click(second);
            EXPECT_TRUE(gone(panelTitle)) << second.x();
        }
        QTest::qWait(600);
    }
    void expectQuit()
    {
        ASSERT_TRUE(nimbrel->waitForFinished(10'000) || nimbrel->state() == QProcess::NotRunning);
        EXPECT_EQ(nimbrel->exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(nimbrel->exitCode(), 0) << errors();
    }
};

class X11Desktop : public Desktop
{
protected:
    void SetUp() override
    {
        // Xvfb takes a free display and names it once it answers.
        QProcess &xserver =
            start("Xvfb", {"-displayfd", "1", "-screen", "0", "1280x720x24", "-nolisten", "tcp"});
        ASSERT_TRUE(xserver.waitForReadyRead(10'000));
        env.set("DISPLAY", QString::fromLatin1(':' + xserver.readLine().trimmed()));
        // The XEmbed tray, as trayer hosts it: no Wayland and no session bus.
        for (const char *name : {"WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "DBUS_SESSION_BUS_ADDRESS"})
            env.set(name, std::nullopt);
    }
    static Shell::Result xdotool(const QStringList &arguments)
    {
        return Shell::run("/usr/bin/xdotool", arguments, std::nullopt, 10);
    }
    std::optional<Window> window(const QString &title) const override // the widest of that name
    {
        std::optional<Window> widest;
        const QString ids =
            xdotool({"search", "--onlyvisible", "--name", '^' + title + '$'}).output;
        for (const QString &id : ids.split(u'\n', Qt::SkipEmptyParts)) {
            const QString info = xdotool({"getwindowgeometry", "--shell", id}).output;
            const QRect rect(field(info, "X="), field(info, "Y="), field(info, "WIDTH="),
                             field(info, "HEIGHT="));
            if (!widest || rect.width() > widest->rect.width())
                widest = Window{rect};
        }
        return widest;
    }
    void click(QPoint at) override
    {
        xdotool({"mousemove", QString::number(at.x()), QString::number(at.y()), "click", "1"});
    }
    QRect panel() const { return shown(panelTitle).value_or(Window{}).rect; }
    void takePicture(const QString &name)
    {
        Shell::run("/usr/bin/import", {"-window", "root", picture(name)}, std::nullopt, 10);
    }
};

// sway will not run as root, so the desktop and everything that talks to it live in a user
// namespace; `inside` runs a command there with the session's environment.
class WaylandDesktop : public Desktop
{
protected:
    static constexpr QPoint icon{1266, 13}; // waybar's tray: a 26-pixel bar, one 18-pixel icon
    QProcess *session = nullptr, *input = nullptr;
    QStringList variables;
    bool trayAtStart = true; // or the test starts it, as a login may after the program

    void SetUp() override
    {
        test::writeFile(path("sway"),
                        QStringLiteral("output HEADLESS-1 resolution 1280x800\nxwayland enable\n"
                                       "exec sh -c 'env > %1.tmp && mv %1.tmp %1'\n%2")
                            .arg(path("session.env"),
                                 trayAtStart ? "exec sh -c 'echo $$ > " + path("waybar.pid") +
                                                   "; exec waybar -c " + path("waybar.json") + "'\n"
                                             : QString())
                            .toUtf8());
        test::writeFile(path("waybar.json"),
                        R"({"height": 26, "modules-right": ["tray"], "tray": {"icon-size": 18}})");
        Store(env.settingsFile()).setValue(StoreKey::openAtLogin, false);
        // NO_AT_BRIDGE: no accessibility bus to outlive the session.
        const QString launch = QStringLiteral(
            "mkdir -m 700 %1/run && exec env -u DISPLAY -u WAYLAND_DISPLAY "
            "-u DBUS_SESSION_BUS_ADDRESS XDG_RUNTIME_DIR=%1/run WLR_BACKENDS=headless "
            "WLR_LIBINPUT_NO_DEVICES=1 WLR_RENDERER=pixman NO_AT_BRIDGE=1 unshare --user "
            "--map-user=1000 --map-group=1000 -- dbus-run-session -- sway -c %1/sway");
        session = &start("sh", {"-c", launch.arg(env.root())}, "sway.log");
        ASSERT_TRUE(QTest::qWaitFor([&] { return QFile::exists(path("session.env")); }, 20'000))
            << test::readFile(path("sway.log")).toStdString();
        variables = QString(test::readFile(path("session.env"))).split(u'\n', Qt::SkipEmptyParts);
        // Qt's Wayland and D-Bus tray plugins keep memory to the end and are unloaded before
        // the leak report, so their leaks cannot be named for suppression; the X11 tests and
        // the widget tests check our own code for leaks.
        variables.append("ASAN_OPTIONS=detect_leaks=0");
        if (trayAtStart)
            startTray();
        input = &start("nsenter", inside({NIMBREL_VIRTUAL_INPUT}));
        ASSERT_TRUE(input->waitForReadyRead(10'000) && input->readLine().startsWith("ready"));
    }
    void TearDown() override
    {
        if (const qint64 waybar = test::readFile(path("waybar.pid")).trimmed().toLongLong())
            ::kill(pid_t(waybar), SIGTERM);
        if (input)
            input->closeWriteChannel();
        runInside({"swaymsg", "exit"});
        session->waitForFinished(5000); // its bus goes with it
        Desktop::TearDown();
    }
    QStringList inside(const QStringList &command) const
    {
        const QString target = QString::number(session->processId());
        return QStringList{"--user", "--preserve-credentials", "--target", target, "env", "-i"} +
               variables + command;
    }
    Shell::Result runInside(const QStringList &command, double timeout = 10) const
    {
        return Shell::run("/usr/bin/nsenter", inside(command), std::nullopt, timeout);
    }
    Shell::Result askWatcher(const QStringList &call) const
    {
        return runInside(QStringList{"dbus-send", "--session", "--print-reply",
                                     "--dest=org.kde.StatusNotifierWatcher",
                                     "/StatusNotifierWatcher"} +
                         call);
    }
    void startTray()
    {
        if (!trayAtStart)
            start("nsenter", inside({"waybar", "-c", path("waybar.json")}));
        // The tray's watcher is waybar's: items can register once it is on the bus.
        ASSERT_TRUE(QTest::qWaitFor(
            [&] { return askWatcher({"org.freedesktop.DBus.Peer.Ping"}).status == 0; }, 20'000));
    }
    void startNimbrel(const QStringList &settings)
    {
        nimbrel = &start("nsenter", inside(settings + QStringList{NIMBREL_BINARY}), "nimbrel.err");
        if (!trayAtStart) {
            QTest::qWait(5000);
            startTray();
        }
        const auto registered = [&] { // with the watcher
            return askWatcher({"org.freedesktop.DBus.Properties.Get",
                               "string:org.kde.StatusNotifierWatcher",
                               "string:RegisteredStatusNotifierItems"})
                .output.contains("string \"");
        };
        ASSERT_TRUE(QTest::qWaitFor(registered, 20'000)) << errors();
        QTest::qWait(500); // waybar draws the item once it has read its properties
    }
    void act(const QString &line)
    {
        input->write(line.toUtf8() + '\n');
        ASSERT_TRUE(QTest::qWaitFor([&] { return input->canReadLine(); }, 10'000));
        input->readLine();
    }
    void click(QPoint at) override
    {
        act(QStringLiteral("move %1 %2").arg(at.x()).arg(at.y()));
        act("click left");
    }
    void menu(int entry) // waybar's menu hangs from the icon, 28 pixels an entry
    {
        act(QStringLiteral("move %1 %2").arg(icon.x()).arg(icon.y()));
        act("click right");
        QTest::qWait(700);
        click({1180, 5 + 28 * entry});
    }
    std::optional<Window> window(const QString &title) const override // its own content's size
    {
        std::optional<Window> found;
        const std::function<void(const QJsonObject &)> visit = [&](const QJsonObject &node) {
            const QJsonObject own = node["window_rect"].toObject();
            if (node["name"].toString() == title)
                found = Window{QRect(0, 0, own["width"].toInt(), own["height"].toInt()),
                               node["focused"].toBool(), node["type"] == "floating_con"};
            for (const char *children : {"nodes", "floating_nodes"})
                for (const QJsonValue &child : node[children].toArray())
                    visit(child.toObject());
        };
        const QString tree = runInside({"swaymsg", "-t", "get_tree", "-r"}).output;
        visit(QJsonDocument::fromJson(tree.toUtf8()).object());
        return found;
    }

    // One round of everything a user does with the tray, on one of Qt's platforms.
    void useTheTray(const QString &platform)
    {
        for (const char *name : {"api", "web", "docs", "mail", "shop", "blog"})
            test::startApp(name);
        // The panel's natural height, as the same platform measures it: --measure wins.
        const QString qpa = "QT_QPA_PLATFORM=" + platform;
        const QString measured =
            runInside({qpa, NIMBREL_BINARY, "--measure", "--control", "list"}, 30).output;
        EXPECT_TRUE(measured.startsWith("画面の高さ 800 / 半分 400\n吹き出しの実寸 560 x "))
            << measured.toStdString();
        const int natural = measured.section(" x ", 1).trimmed().toInt();
        ASSERT_GT(natural, 300);
        startNimbrel({qpa});

        click(icon);
        // The window's title bar names the panel, so its heading leaves the title out: the
        // window is the measured panel less that one line.
        int windowHeight = 0;
        ASSERT_TRUE(shown(panelTitle, [&](const Window &w) {
            windowHeight = w.rect.height();
            return w.rect.width() == 560 && windowHeight < natural && windowHeight > natural - 30 &&
                   w.floating && w.focused;
        }));
        runInside({"grim", picture("wayland-" + platform + "-panel")});
        act("type shop"); // six rows of 50 become one, and a search shows only what it found
        EXPECT_TRUE(
            shown(panelTitle, [&](auto &w) { return w.rect.height() == windowHeight - 250; }));
        act("key esc"); // empties the search
        EXPECT_TRUE(shown(panelTitle, [&](auto &w) { return w.rect.height() == windowHeight; }));
        act("key esc");
        EXPECT_TRUE(gone(panelTitle));

        openAndClose(icon, {640, 780});
        act("click left"); // a double click: waybar makes three calls of it
        act("click left");
        QTest::qWait(1000);
        EXPECT_TRUE(window(panelTitle)) << "a double click leaves it open";

        menu(2); // 設定
        EXPECT_TRUE(shown(settingsTitle, [](auto &w) { return w.rect.width() == 520; }));
        EXPECT_TRUE(gone(panelTitle));
        runInside({"grim", picture("wayland-" + platform + "-settings")});
        menu(3); // 終了
        expectQuit();
    }
};

} // namespace

// A small screen: twelve rows want more than it has, and a height once dragged on a taller one
// is stored. The tray comes up after the program.
TEST_F(X11Desktop, theIconOpensThePanelOnTheScreenAndTheSettingsAndQuits)
{
    test::startApp("many", test::currentPM2, 12);
    Store(env.settingsFile()).setValue(StoreKey::panelHeight, 2000.0);
    nimbrel = &start(NIMBREL_BINARY, {}, "nimbrel.err");
    QTest::qWait(1500);
    start("trayer", {"--edge", "top", "--align", "right", "--widthtype", "request", "--height",
                     "24", "--transparent", "false"});
    // trayer's panel grows by one icon when ours docks.
    const auto icon = shown(
        "panel", [](const Window &w) { return w.rect.width() >= 16; }, 20'000);
    ASSERT_TRUE(icon) << "the icon did not dock: " << errors();
    QTest::qWait(500); // the tray maps the docked icon a moment after making room for it
    // Nothing on Linux reads the other platform's placement key: it is not written.
    EXPECT_FALSE(test::readFile(env.settingsFile()).contains("NSStatusItem"));

    click(icon->rect.center());
    QTest::qWait(1500); // the rows arrive with the refresh
    const QRect full = panel();
    EXPECT_EQ(full.width(), 560);
    EXPECT_TRUE(QRect(0, 0, 1280, 720).contains(full)) << full.y() << " + " << full.height();
    EXPECT_GE(full.height(), 700); // the list took what there is
    takePicture("desktop-popup");
    // Dragged up by the grabber at its bottom edge, the popup shrinks with it.
    const QString x = QString::number(full.center().x());
    const int y = full.bottom() - 6;
    xdotool({"mousemove", x, QString::number(y), "mousedown", "1", "mousemove", x,
             QString::number(y - 50), "mousemove", x, QString::number(y - 100), "mouseup", "1"});
    EXPECT_TRUE(QTest::qWaitFor([&] { return panel().height() == full.height() - 100; }, 10'000));

    click({100, 700});
    EXPECT_TRUE(gone(panelTitle));
    openAndClose(icon->rect.center(), {100, 700});
    xdotool({"click", "--repeat", "2", "--delay", "80", "1"}); // still on the icon
    QTest::qWait(800);
    EXPECT_TRUE(window(panelTitle)) << "a double click leaves it open";

    QRect popup = panel(); // at the dragged height it fits right under the icon
    EXPECT_GE(popup.top(), icon->rect.top() + 16);
    EXPECT_LE(popup.top(), icon->rect.bottom() + 2);
    // The footer: "設定", then "終了" while the settings window is open.
    click({popup.left() + 396, popup.bottom() - 37});
    EXPECT_TRUE(shown(settingsTitle, [](auto &w) { return w.rect.width() == 520; }));
    EXPECT_TRUE(gone(panelTitle));
    takePicture("desktop-settings");
    QTest::qWait(600);
    click(icon->rect.center());
    popup = panel();
    click({popup.left() + 498, popup.bottom() - 37});
    expectQuit();
}

// Large text on a small screen: every window stays on it, with room for a title bar, and the
// settings scroll rather than run off it.
TEST_F(X11Desktop, atTwiceTheScaleOnASmallScreenEveryWindowFits)
{
    test::startApp("many", test::currentPM2, 12);
    env.set("QT_SCALE_FACTOR", "2");
    start("trayer", {"--edge", "top", "--align", "right", "--widthtype", "request", "--height",
                     "48", "--transparent", "false"});
    nimbrel = &start(NIMBREL_BINARY, {}, "nimbrel.err");
    const auto icon = shown(
        "panel", [](const Window &w) { return w.rect.width() >= 32; }, 20'000);
    ASSERT_TRUE(icon) << "the icon did not dock: " << errors();
    QTest::qWait(500);
    click(icon->rect.center());
    QTest::qWait(1500);
    const QRect popup = panel();
    EXPECT_EQ(popup.width(), 1120);
    EXPECT_TRUE(QRect(0, 0, 1280, 720).contains(popup)) << popup.y() << " + " << popup.height();
    click({popup.left() + 2 * 396, popup.bottom() - 2 * 37}); // 設定
    const auto settings = shown(settingsTitle, [](auto &w) { return w.rect.width() == 1040; });
    ASSERT_TRUE(settings);
    takePicture("desktop-settings-2x");
    EXPECT_LE(settings->rect.height(), 720 - 2 * 40); // a title bar's room
    EXPECT_GE(settings->rect.height(), 2 * 120);
}

TEST_F(WaylandDesktop, nativeWayland)
{
    useTheTray("wayland");
}

TEST_F(WaylandDesktop, throughXWayland)
{
    useTheTray("xcb");
}

// The tray comes up after the program, as it may at login.
class LateTrayDesktop : public WaylandDesktop
{
protected:
    LateTrayDesktop() { trayAtStart = false; }
};

TEST_F(LateTrayDesktop, onX11TheDBusTrayGetsThePopupAtThePointer)
{
    // An X11 session whose tray speaks D-Bus and gives no icon geometry: the X server here is
    // XWayland, the tray waybar's, which starts 5 s after the program.
    test::startApp("api");
    startNimbrel({"QT_QPA_PLATFORM=xcb", "WAYLAND_DISPLAY=", "XDG_SESSION_TYPE=x11"});
    click(icon);
    const QStringList find{
        "xdotool",           "search", "--onlyvisible", "--name", '^' + panelTitle + '$',
        "getwindowgeometry", "--shell"};
    QString popup;
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return (popup = runInside(find).output).contains("WIDTH=560"); }, 15'000));
    const QRect at(field(popup, "X="), field(popup, "Y="), 560, field(popup, "HEIGHT="));
    const QString pointer = runInside({"xdotool", "getmouselocation", "--shell"}).output;
    EXPECT_EQ(at.left(), std::clamp(field(pointer, "X=") - 280, 0, 1280 - 560));
    EXPECT_TRUE(QRect(0, 0, 1280, 800).contains(at)) << at.y() << " + " << at.height();
    runInside({"grim", picture("x11-dbus-popup")});
}
