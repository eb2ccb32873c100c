// The log window on a real app under real pm2: the tails of out and err, the colours, bad bytes,
// following, `pm2 flush` while open, scrolling up, pause and search; and the picture of it.
#include "app/bus/pm2_bus.h"
#include "app/logs/log_feed.h"
#include "app/logs/log_file.h"
#include "app/store.h"
#include "app/ui/log_window.h"
#include "app/ui/texts.h"
#include "support/test_environment.h"

#include <QFile>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTest>
#include <QTextBlock>
#include <QToolButton>

#include <gtest/gtest.h>

using namespace nimbrel;

namespace {

const QString writer = QStringLiteral(NIMBREL_LOG_WRITER);

// Starts the writer and waits until `written` is in its out log.
PM2App startWriter(const QString &name, const QStringList &options = {},
                   const QByteArray &written = "tick 1\n")
{
    const Shell::Result started = test::pm2(QStringList{"start", writer, "--name", name} + options);
    EXPECT_EQ(started.status, 0) << started.output.toStdString();
    for (int attempt = 0; attempt < 100; ++attempt, QTest::qWait(100))
        for (const PM2App &app : test::pm2List())
            if (app.name == name && app.errLogPath &&
                test::readFile(*app.outLogPath).contains(written))
                return app;
    ADD_FAILURE() << "the writer never wrote";
    return {};
}

// The colour the view draws the line that holds `text` in.
QColor colorOfLine(const QPlainTextEdit &view, const QString &text)
{
    for (QTextBlock block = view.document()->begin(); block.isValid(); block = block.next())
        for (auto run = block.begin(); !run.atEnd(); ++run)
            if (const QTextCharFormat format = run.fragment().charFormat();
                run.fragment().text().contains(text))
                return format.hasProperty(QTextFormat::ForegroundBrush)
                           ? format.foreground().color()
                           : QColor();
    return {};
}

QString text(const ui::LogWindow &window)
{
    return window.view()->toPlainText();
}

} // namespace

TEST(LogWindow, showsFollowsAndSurvivesAFlushOfARealApp)
{
    test::TestEnvironment env;
    Store store(env.settingsFile());
    const PM2App app = startWriter("api", {"--log-date-format", "HH:mm:ss.SSS"});
    auto *window = new ui::LogWindow(new LogFeed(app), store);
    const std::unique_ptr<ui::LogWindow> owner(window);
    window->start();
    window->show();
    const QString shown = text(*window);
    EXPECT_EQ(window->windowTitle(), "api のログ");
    // pm2's times put the error between the lines written around it, not after all of out's.
    EXPECT_LT(shown.indexOf("ready on http"), shown.indexOf("Error: boom"));
    EXPECT_LT(shown.indexOf("Error: boom"), shown.lastIndexOf("tick"));
    EXPECT_TRUE(shown.contains(QString::fromUtf8("n\u2400\ufffd")));
    EXPECT_TRUE(shown.contains(QString(AnsiDecoder::maxLineBytes - 20, 'y') + ui::texts::lineCut));
    EXPECT_FALSE(shown.contains(QString(AnsiDecoder::maxLineBytes + 1, 'y')));
    EXPECT_FALSE(shown.contains(QChar(0x1b)));
    EXPECT_EQ(colorOfLine(*window->view(), "ready"), QColor(0x00a600));
    EXPECT_EQ(colorOfLine(*window->view(), " on "), QColor());
    EXPECT_EQ(colorOfLine(*window->view(), "Error: boom"), QColor(0xc91b00));

    // New lines arrive; a flush empties the file and the following ones still come.
    const auto ticks = [&] { return text(*window).count("tick"); };
    const qsizetype before = ticks();
    ASSERT_TRUE(QTest::qWaitFor([&] { return ticks() > before + 2; }, 5000));
    ASSERT_EQ(test::pm2({"flush", "api"}).status, 0);
    const qsizetype afterFlush = ticks();
    ASSERT_TRUE(QTest::qWaitFor([&] { return ticks() > afterFlush + 5; }, 5000));
    EXPECT_EQ(text(*window).count("Error: boom"), 1);

    // Scrolled up, the view stays and counts what waits below; at the bottom it follows again.
    QScrollBar *bar = window->view()->verticalScrollBar();
    bar->setValue(0);
    ASSERT_TRUE(QTest::qWaitFor([&] { return window->waitingBelow() >= 2; }, 5000));
    EXPECT_EQ(bar->value(), 0);
    EXPECT_TRUE(window->findChild<QWidget *>("newBelow")->isVisible());
    bar->setValue(bar->maximum());
    EXPECT_EQ(window->waitingBelow(), 0);

    // Paused, nothing moves; resumed, the held lines come in.
    auto *pause = window->findChild<QToolButton *>("pause");
    pause->click();
    const qsizetype paused = ticks();
    QTest::qWait(400);
    EXPECT_EQ(ticks(), paused);
    pause->click();
    EXPECT_GT(ticks(), paused);

    // Search: a count, and Enter, Shift+Enter walk the matches.
    auto *search = window->findChild<QLineEdit *>("search");
    search->setText("Error: boom");
    EXPECT_EQ(window->findChild<QLabel *>("matchCount")->text(), "1 / 1 件");
    search->setText("tick");
    const int count = window->matchCount();
    EXPECT_GT(count, 5);
    QTest::keyClick(search, Qt::Key_Return, Qt::ShiftModifier);
    EXPECT_EQ(window->findChild<QLabel *>("matchCount")->text(),
              QStringLiteral("%1 / %2 件").arg(count).arg(count));
    EXPECT_EQ(window->view()->textCursor().selectedText(), "tick");
}

TEST(LogWindow, followsThroughPM2sBusAndNeverShowsALineTwice)
{
    test::TestEnvironment env;
    const PM2App app = startWriter("bus");
    PM2Bus bus(PM2Bus::defaultPath());
    bus.start();
    ASSERT_TRUE(QTest::qWaitFor([&] { return bus.isConnected(); }, 5000));
    LogFeed feed(app);
    feed.followBus(bus);
    QStringList ticks;
    QObject::connect(&feed, &LogFeed::linesArrived, [&](const QList<StyledLine> &lines) {
        for (const StyledLine &line : lines)
            if (line.text().startsWith("tick"))
                ticks.append(line.text());
    });
    feed.open();
    ASSERT_TRUE(QTest::qWaitFor([&] { return ticks.size() >= 8; }, 5000));
    // The bus and the quiet files together: every new line once, in order.
    const int first = ticks.front().section(' ', 1).toInt();
    for (int i = 0; i < ticks.size(); ++i)
        EXPECT_EQ(ticks[i], QStringLiteral("tick %1").arg(first + i));

    // What a quiet file gained while the bus delivered is not read again once the bus is gone.
    const QString path = env.root() + "/quiet.log";
    test::writeFile(path, "a\n");
    FileFollower follower(path, readTail(path, 10));
    QByteArray read;
    QObject::connect(&follower, &FileFollower::appended, [&](const QByteArray &b) { read += b; });
    follower.setQuiet(true);
    for (const char *line : {"b\n", "c\n"}) {
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::Append) && file.write(line) == 2);
        file.close();
        follower.check();
        follower.setQuiet(false);
    }
    EXPECT_EQ(read, "c\n");
}

TEST(LogWindow, saysWhenAFileIsMissingOrThereIsNoLog)
{
    test::TestEnvironment env;
    Store store(env.settingsFile());
    const std::pair<PM2App, QString> cases[] = {
        {{.name = "a", .outLogPath = env.root() + "/none.log"}, "ログファイルがありません: "},
        {{.name = "b", .outLogPath = env.root()}, "ログファイルを読めません: "},
        {{.name = "c"}, "このアプリのログは書き出されていません"},
    };
    for (const auto &[app, said] : cases) {
        ui::LogWindow window(new LogFeed(app), store);
        window.start();
        EXPECT_TRUE(window.findChild<QLabel *>("problems")->text().startsWith(said))
            << app.name.toStdString();
    }
}

TEST(LogWindow, pictureOfABigLogIsDrawnQuicklyWithItsColours)
{
    test::TestEnvironment env;
    Store(env.settingsFile()).setValue(StoreKey::pm2Path, test::currentPM2);
    env.set("BIG_MB", QStringLiteral("20"));
    startWriter("big", {}, "ready");
    const QString picture = env.root() + "/log.png";
    QElapsedTimer clock;
    clock.start();
    const Shell::Result result =
        Shell::run(NIMBREL_BINARY, {"--screenshot", picture, "--logs", "big"}, std::nullopt, 30);
    EXPECT_LT(clock.elapsed(), 10'000);
    EXPECT_EQ(result.status, 0);
    const QImage image(picture);
    ASSERT_GE(image.width(), 400);
    ASSERT_GE(image.height(), 300);
    bool red = false, green = false;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x) {
            const QColor c = image.pixelColor(x, y);
            red = red || (c.red() > 150 && c.green() < 80 && c.blue() < 80);
            green = green || (c.green() > 120 && c.red() < 80 && c.blue() < 80);
        }
    EXPECT_TRUE(red);
    EXPECT_TRUE(green);
}
