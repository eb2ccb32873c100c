// One row: its texts, its buttons and what they do.
#include "app/ui/server_row_view.h"
#include "ui/ui_fixture.h"

#include <QDesktopServices>
#include <QLabel>
#include <QTest>
#include <QToolButton>

using namespace nimbrel;
using namespace nimbrel::ui;

namespace {

ServerRow running(QList<int64_t> ports, int processes, std::optional<Instant> lastActive)
{
    ServerRow row;
    row.app = {.name = QStringLiteral("web"), .pid = 1, .status = PM2App::Status::online};
    row.ports = std::move(ports);
    for (int i = 0; i < processes; ++i)
        row.processes.append(ProcessRow{.pid = 1 + i});
    row.lastActive = lastActive;
    return row;
}

// Catches what the row asks the desktop to open.
class UrlCatcher : public QObject
{
    Q_OBJECT
public:
    QList<QUrl> opened;
public slots:
    void open(const QUrl &url) { opened.append(url); }
};

class RowTest : public ::testing::Test
{
protected:
    test::TestEnvironment env;
    ServerRowView view;
    template <typename T> T *child(const char *name) { return test::child<T>(view, name); }
};

} // namespace

TEST_F(RowTest, detailLine)
{
    const Instant t = now();
    struct Case
    {
        ServerRow row;
        const char *detail;
    };
    ServerRow stopped;
    stopped.app.status = PM2App::Status::errored;
    const Case cases[] = {
        {stopped, "停止中"},
        {running({3000, 5173}, 3, t - Seconds(7200)), "ポート 3000　3プロセス　最終利用 2時間前"},
        {running({}, 1, std::nullopt), ""},
        {running({8080}, 1, std::nullopt), "ポート 8080"},
        {running({}, 2, t), "2プロセス　最終利用 0分前"},
    };
    for (const Case &c : cases)
        EXPECT_EQ(ServerRowView::detail(c.row, t), QString::fromUtf8(c.detail));
}

TEST_F(RowTest, aStoppedRowOffersToStartAndCannotOpen)
{
    ServerRow row;
    row.app = {.name = QStringLiteral("old"), .status = PM2App::Status::stopped};
    view.setRow(row, false, false, now());
    EXPECT_FALSE(child<QLabel>("cpu")->isVisibleTo(&view));
    EXPECT_FALSE(child<QLabel>("memory")->isVisibleTo(&view));
    EXPECT_FALSE(child<QWidget>("chevron")->isVisibleTo(&view));
    EXPECT_EQ(child<QToolButton>("run")->toolTip(), "起動する");
    EXPECT_FALSE(child<QToolButton>("open")->isEnabled());
    EXPECT_FALSE(view.isExpandable());
}

TEST_F(RowTest, aRunningRowShowsItsMeasuresAndItsButtons)
{
    ServerRow row = running({3000, 5173}, 3, std::nullopt);
    row.cpuPercent = 4.96;
    row.pinned = true;
    row.memoryBytes = 150 << 20;
    view.setRow(row, false, true, now());
    auto *cpu = child<QLabel>("cpu");
    EXPECT_EQ(cpu->text(), "5.0%");
    const QColor quiet = cpu->palette().color(QPalette::WindowText);
    row.cpuPercent = 5.0;
    view.setRow(row, false, true, now());
    EXPECT_NE(cpu->palette().color(QPalette::WindowText), quiet); // the value decides, not the text
    EXPECT_EQ(child<QLabel>("memory")->text(), "150MB");
    EXPECT_EQ(child<QToolButton>("run")->toolTip(), "止める");
    EXPECT_EQ(child<QToolButton>("pin")->toolTip(), "自動で止める対象に戻す");
    EXPECT_TRUE(child<QWidget>("pinMark")->isVisibleTo(&view));
    EXPECT_TRUE(child<QWidget>("chevron")->isVisibleTo(&view));

    UrlCatcher catcher;
    QDesktopServices::setUrlHandler(QStringLiteral("http"), &catcher, "open");
    QTest::mouseClick(child<QToolButton>("open"), Qt::LeftButton);
    QDesktopServices::unsetUrlHandler(QStringLiteral("http"));
    EXPECT_EQ(catcher.opened, QList<QUrl>{QUrl("http://localhost:3000")}); // the lowest port
}

TEST_F(RowTest, theButtonsAskForWhatTheUserWantsAndBusyShowsASpinner)
{
    QStringList asked;
    QObject::connect(&view, &ServerRowView::runningRequested, [&](const QString &name, bool on) {
        asked.append(name + (on ? " start" : " stop"));
    });
    QObject::connect(&view, &ServerRowView::pinToggleRequested,
                     [&](const QString &name) { asked.append(name + " pin"); });
    ServerRow row = running({}, 1, std::nullopt);
    for (const auto status : {PM2App::Status::online, PM2App::Status::stopped}) {
        row.app.status = status;
        view.setRow(row, false, false, now());
        QTest::mouseClick(child<QToolButton>("run"), Qt::LeftButton);
        QTest::mouseClick(child<QToolButton>("pin"), Qt::LeftButton);
    }
    EXPECT_EQ(asked, (QStringList{"web stop", "web pin", "web start", "web pin"}));
    view.show();

    view.setRow(row, true, false, now());
    EXPECT_TRUE(child<QWidget>("busy")->isVisible());
    EXPECT_FALSE(child<QToolButton>("run")->isVisible());
    EXPECT_TRUE(child<QToolButton>("pin")->isEnabled());
}

#include "server_row_view_test.moc"
