// The tray app on a real X server: Xvfb, the trayer tray host and xdotool for the clicks.
#include "app/store.h"
#include "support/pm2_sandbox.h"
#include "support/test_environment.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QTest>

#include <gtest/gtest.h>

using namespace nimbrel;

namespace {

struct Window
{
    qint64 id = 0;
    QRect geometry;
};

class Desktop : public ::testing::Test
{
protected:
    test::TestEnvironment env;
    test::Pm2Sandbox pm2{env.pm2Home()};
    QString display;
    QProcess xserver, tray, nimbrel;
    QString screen = QStringLiteral("1280x800x24");

    void SetUp() override
    {
        // A display nobody used lately: a server that is still going away can hold on to a
        // number for a moment after its files are gone.
        int number = QRandomGenerator::global()->bounded(100, 900);
        while (QFile::exists(QStringLiteral("/tmp/.X%1-lock").arg(number)) ||
               QFile::exists(QStringLiteral("/tmp/.X11-unix/X%1").arg(number)))
            ++number;
        display = QStringLiteral(":%1").arg(number);
        xserver.start(QStringLiteral("Xvfb"),
                      {display, "-screen", "0", screen, "-nolisten", "tcp"});
        env.set("DISPLAY", display);
        // The socket comes before the server answers: wait until it answers.
        ASSERT_TRUE(QTest::qWaitFor(
            [] {
                return Shell::run("/usr/bin/xdotool", {"getdisplaygeometry"}, std::nullopt, 5)
                           .status == 0;
            },
            10'000));
        env.set("WAYLAND_DISPLAY", std::nullopt);
        env.set("QT_QPA_PLATFORM", std::nullopt);
        env.set("DBUS_SESSION_BUS_ADDRESS", std::nullopt); // the XEmbed tray, as trayer hosts it
        Store(env.settingsFile()).setValue(StoreKey::pm2Path, test::currentPm2);
    }
    void TearDown() override
    {
        // Terminated, not killed: Xvfb removes its lock and socket on the way out.
        for (QProcess *process : {&nimbrel, &tray, &xserver}) {
            if (process->state() == QProcess::NotRunning)
                continue;
            process->terminate();
            if (!process->waitForFinished(5000)) {
                process->kill();
                process->waitForFinished(5000);
            }
        }
    }
    void startTray()
    {
        tray.start(QStringLiteral("trayer"),
                   {"--edge", "top", "--align", "right", "--widthtype", "request", "--height", "24",
                    "--transparent", "false"});
        ASSERT_TRUE(tray.waitForStarted());
    }
    void startNimbrel(const QStringList &arguments = {})
    {
        nimbrel.setStandardErrorFile(env.root() + "/nimbrel.err");
        nimbrel.start(QStringLiteral(NIMBREL_BINARY), arguments);
        ASSERT_TRUE(nimbrel.waitForStarted());
    }
    static QString run(const QString &program, const QStringList &arguments)
    {
        return Shell::run(program, arguments, std::nullopt, 10).output;
    }
    // The visible windows of that exact name.
    static QList<Window> windows(const QString &name)
    {
        QList<Window> found;
        const QString ids =
            run("/usr/bin/xdotool", {"search", "--onlyvisible", "--name", "^" + name + "$"});
        for (const QString &id : ids.split(u'\n', Qt::SkipEmptyParts)) {
            const QString info = run("/usr/bin/xwininfo", {"-id", id});
            const auto value = [&](const char *key) {
                const qsizetype at = info.indexOf(QLatin1String(key));
                return info.mid(at + qsizetype(strlen(key))).section(u'\n', 0, 0).trimmed().toInt();
            };
            found.append({id.toLongLong(),
                          QRect(value("Absolute upper-left X:"), value("Absolute upper-left Y:"),
                                value("Width:"), value("Height:"))});
        }
        return found;
    }
    static std::optional<Window> waitForWindow(const QString &name, bool visible = true)
    {
        std::optional<Window> window;
        const bool settled = QTest::qWaitFor(
            [&] {
                const QList<Window> all = windows(name);
                window = all.isEmpty() ? std::nullopt : std::optional(all.front());
                return window.has_value() == visible;
            },
            15'000);
        return settled ? window : std::nullopt;
    }
    // trayer's panel grows by one icon when ours docks.
    static std::optional<QRect> dockedIcon()
    {
        std::optional<QRect> icon;
        const bool docked = QTest::qWaitFor(
            [&] {
                for (const Window &panel : windows(QStringLiteral("panel"))) {
                    if (panel.geometry.width() >= 16)
                        icon = panel.geometry;
                }
                return icon.has_value();
            },
            20'000);
        return docked ? icon : std::nullopt;
    }
    static void click(QPoint at, int button = 1)
    {
        run("/usr/bin/xdotool", {"mousemove", QString::number(at.x()), QString::number(at.y()),
                                 "click", QString::number(button)});
    }
    void picture(const char *name)
    {
        const QString folder = qEnvironmentVariable("NIMBREL_TEST_PICTURES", env.root());
        run("/usr/bin/import", {"-window", "root", folder + "/" + QLatin1String(name) + ".png"});
    }
};

} // namespace

TEST_F(Desktop, theIconOpensThePanelAndTheSettingsAndQuits)
{
    pm2.startApp("shop-api");
    pm2.startApp("shop-web");
    startTray();
    startNimbrel();
    const std::optional<QRect> icon = dockedIcon();
    ASSERT_TRUE(icon) << "the icon did not dock: "
                      << test::readFile(env.root() + "/nimbrel.err").toStdString();
    QTest::qWait(500); // the tray maps the docked icon a moment after making room for it

    // First start: starting at login is turned on, once.
    EXPECT_TRUE(QTest::qWaitFor(
        [&] { return QFile::exists(env.config() + "/autostart/nimbrel.desktop"); }, 5000));
    EXPECT_EQ(Store(env.settingsFile()).openAtLoginChoice(), true);
    EXPECT_EQ(Store(env.settingsFile()).number(StoreKey::trayPosition), 300);

    click(icon->center());
    std::optional<Window> popup = waitForWindow(QStringLiteral("開発サーバー"));
    ASSERT_TRUE(popup);
    EXPECT_EQ(popup->geometry.width(), 560);
    EXPECT_GE(popup->geometry.top(), icon->top() + 16); // right under the icon
    EXPECT_LE(popup->geometry.top(), icon->bottom() + 2);
    EXPECT_LE(popup->geometry.right(), 1279); // and on the screen
    QTest::qWait(1500);
    picture("desktop-popup");

    click({100, 700}); // outside
    EXPECT_FALSE(waitForWindow(QStringLiteral("開発サーバー"), false).has_value());

    click(icon->center());
    popup = waitForWindow(QStringLiteral("開発サーバー"));
    ASSERT_TRUE(popup);
    QTest::qWait(600);     // a second click sooner would make a double click, which opens
    click(icon->center()); // the icon again closes it
    EXPECT_FALSE(waitForWindow(QStringLiteral("開発サーバー"), false).has_value());

    QTest::qWait(500);
    run("/usr/bin/xdotool",
        {"mousemove", QString::number(icon->center().x()), QString::number(icon->center().y()),
         "click", "--repeat", "2", "--delay", "80", "1"});
    QTest::qWait(800);
    EXPECT_TRUE(waitForWindow(QStringLiteral("開発サーバー"))) << "a double click leaves it open";
    click({100, 700});
    EXPECT_FALSE(waitForWindow(QStringLiteral("開発サーバー"), false).has_value());

    // The footer: "設定", then "終了" while the settings window is open.
    QTest::qWait(500);
    click(icon->center());
    popup = waitForWindow(QStringLiteral("開発サーバー"));
    ASSERT_TRUE(popup);
    const QRect p = popup->geometry;
    const int footerY = p.bottom() - 37;
    click({p.left() + 396, footerY});
    const std::optional<Window> settings = waitForWindow(QStringLiteral("Nimbrel の設定"));
    ASSERT_TRUE(settings);
    EXPECT_EQ(settings->geometry.size(), QSize(520, 460));
    EXPECT_FALSE(
        waitForWindow(QStringLiteral("開発サーバー"), false).has_value()); // the popup closed
    picture("desktop-settings");

    click(icon->center());
    popup = waitForWindow(QStringLiteral("開発サーバー"));
    ASSERT_TRUE(popup);
    click({popup->geometry.left() + 498, popup->geometry.bottom() - 37});
    ASSERT_TRUE(nimbrel.waitForFinished(10'000));
    EXPECT_EQ(nimbrel.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(nimbrel.exitCode(), 0);
}

TEST_F(Desktop, aTrayThatAppearsLateStillGetsTheIcon)
{
    Store(env.settingsFile()).setValue(StoreKey::openAtLogin, false);
    startNimbrel();
    QTest::qWait(1500);
    startTray();
    ASSERT_TRUE(dockedIcon());
    EXPECT_FALSE(QDir(env.config() + "/autostart").exists()); // the user said no: left alone
}

TEST_F(Desktop, measureWithAndWithoutADisplay)
{
    Shell::Result result = Shell::run(QStringLiteral(NIMBREL_BINARY),
                                      {"--measure", "--control", "list"}, std::nullopt, 30);
    EXPECT_EQ(result.status, 0);
    QStringList lines = result.output.split(u'\n', Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), 2) << result.output.toStdString();
    EXPECT_EQ(lines[0], "画面の高さ 800 / 半分 400");
    EXPECT_TRUE(lines[1].startsWith("吹き出しの実寸 560 x ")) << lines[1].toStdString();

    env.set("DISPLAY", std::nullopt);
    result = Shell::run(QStringLiteral(NIMBREL_BINARY), {"--measure"}, std::nullopt, 30);
    EXPECT_EQ(result.status, 0);
    lines = result.output.split(u'\n', Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), 2);
    EXPECT_EQ(lines[0], "画面の高さ 0 / 半分 0");
}

class SmallScreen : public Desktop
{
protected:
    SmallScreen() { screen = QStringLiteral("1280x720x24"); }
    static QRect popup() { return waitForWindow(QStringLiteral("開発サーバー"))->geometry; }
    static bool heightBecomes(int wanted)
    {
        return QTest::qWaitFor([&] { return popup().height() == wanted; }, 10'000);
    }
    static void dragGrabber(int by)
    {
        const QRect now = popup();
        const QString x = QString::number(now.center().x());
        const int y = now.bottom() - 6;
        run("/usr/bin/xdotool",
            {"mousemove", x, QString::number(y), "mousedown", "1", "mousemove", x,
             QString::number(y + by / 2), "mousemove", x, QString::number(y + by), "mouseup", "1"});
    }
};

TEST_F(SmallScreen, thePopupStaysOnTheScreenAndFollowsThePanelBothWays)
{
    // Twelve rows want more than the screen; a height once dragged on a taller one is stored.
    ASSERT_EQ(pm2.run({"start", NIMBREL_TEST_SERVER, "--name", "many", "-i", "12"}).status, 0);
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            const QList<PM2App> apps = pm2.list();
            return apps.size() == 12 && std::all_of(apps.begin(), apps.end(), [](auto &app) {
                       return app.status == PM2App::Status::online;
                   });
        },
        30'000));
    Store(env.settingsFile()).setValue(StoreKey::panelHeight, 2000.0);
    startTray();
    startNimbrel();
    const std::optional<QRect> icon = dockedIcon();
    ASSERT_TRUE(icon) << test::readFile(env.root() + "/nimbrel.err").toStdString();
    QTest::qWait(500);
    click(icon->center());
    ASSERT_TRUE(waitForWindow(QStringLiteral("開発サーバー")));
    QTest::qWait(1500); // the rows arrive with the refresh
    const QRect full = popup();
    EXPECT_TRUE(QRect(0, 0, 1280, 720).contains(full)) << full.y() << " + " << full.height();
    EXPECT_GE(full.height(), 700); // the list took what there is
    picture("desktop-small-screen");

    run("/usr/bin/xdotool", {"type", "zzz"}); // matches nothing: the list keeps its least, 240
    EXPECT_TRUE(QTest::qWaitFor([&] { return popup().height() < 500; }, 10'000));
    run("/usr/bin/xdotool", {"key", "Escape"}); // empties the search
    EXPECT_TRUE(heightBecomes(full.height()));
    dragGrabber(-100);
    EXPECT_TRUE(heightBecomes(full.height() - 100)) << "dragged up, the popup shrinks with it";
    EXPECT_TRUE(QRect(0, 0, 1280, 720).contains(popup()));
}
