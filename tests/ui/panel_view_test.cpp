// The panel on the offscreen platform: what it shows, its heights and where its lines sit.
#include "app/ui/divider.h"
#include "app/ui/elided_label.h"
#include "app/ui/panel_view.h"
#include "app/ui/process_breakdown_view.h"
#include "app/ui/segmented_control.h"
#include "app/ui/server_row_view.h"
#include "app/ui/style.h"
#include "core/panel_geometry.h"
#include "support/monitor_fixture.h"

#include <QLabel>
#include <QLayout>
#include <QScrollArea>
#include <QScrollBar>

using namespace nimbrel;
using namespace nimbrel::ui;
using test::child;

namespace {

class PanelTest : public test::MonitorFixture
{
protected:
    std::optional<double> screen = 1000;
    std::unique_ptr<PanelView> panel;

    void makePanel(bool flattened = false, std::optional<QString> initialQuery = std::nullopt)
    {
        panel = std::make_unique<PanelView>(
            *monitor, store,
            PanelView::Options{.flattened = flattened,
                               .initialQuery = std::move(initialQuery),
                               .screenHeight = [this] { return screen; }});
        panel->show();
        QCoreApplication::processEvents();
    }
    // The names of the rows shown, top to bottom, and the row of a name.
    QStringList names() const
    {
        QMap<int, QString> shown;
        for (ServerRowView *row : panel->findChildren<ServerRowView *>())
            if (row->isVisibleTo(panel.get()))
                shown.insert(row->y(), row->row().app.name);
        return shown.values();
    }
    ServerRowView *row(const QString &name) const
    {
        for (ServerRowView *row : panel->findChildren<ServerRowView *>())
            if (row->isVisibleTo(panel.get()) && row->row().app.name == name)
                return row;
        return nullptr;
    }
    bool shown(const char *name) { return child(*panel, name)->isVisibleTo(panel.get()); }
    QString text(const char *name) { return child<QLabel>(*panel, name)->text(); }
    int top(QWidget *w) { return w->mapTo(panel.get(), QPoint(0, 0)).y(); }
};

} // namespace

TEST(PanelGeometry, listAndScrollHeights)
{
    using namespace PanelGeometry;
    const std::tuple<std::optional<double>, double, double> cases[] = {
        {1000, 0, 500}, {1000, 1200, 850}, {1000, 100, 240},       {1000, -5, 500},
        {200, 0, 240},  {200, 900, 240},   {std::nullopt, 0, 450}, {std::nullopt, 2000, 765},
    };
    for (const auto &[screen, stored, list] : cases)
        EXPECT_EQ(listHeight(screen, stored), list) << screen.value_or(-1) << " " << stored;
    EXPECT_EQ(scrollHeight(500, 3, 0, 0), 240);
    EXPECT_EQ(scrollHeight(500, 15, 0, 0), 500);
}

TEST_F(PanelTest, headerRowsButtonsAndTheMissingPM2Message)
{
    const QString name = QString(300, u'x') + QStringLiteral("-api");
    pm2.setDelay("stop", 1);
    pm2.setApps({{"web", 1}});
    publish({{name, 1, {}, 1024}, {"web", 1, {}, 512}, {"old", 0}});
    makePanel();
    EXPECT_EQ(text("counts"), "2本 稼働中　合計 1.50GB");
    EXPECT_EQ(names(), (QStringList{name, "web", "old"}));
    // A long name is cut by its row, not by the panel.
    EXPECT_EQ(panel->sizeHint().expandedTo(panel->minimumSize()).width(), PanelView::panelWidth);
    auto *label = child<ElidedLabel>(*row(name), "name");
    EXPECT_LT(label->width(), label->fontMetrics().horizontalAdvance(label->text()));

    const int before = applies;
    QTest::mouseClick(child(*row("web"), "run"), Qt::LeftButton);
    QCoreApplication::processEvents();
    EXPECT_TRUE(child(*row("web"), "busy")->isVisible());
    EXPECT_TRUE(QTest::qWaitFor([&] { return applies == before + 1; }, 10'000));
    EXPECT_EQ(pm2.namesFor("stop"), QStringList{"web"});
    pm2.setMode("fail"); // a failed list keeps the rows, faded, under its reason
    monitor->refresh();
    ASSERT_TRUE(QTest::qWaitFor([&] { return monitor->listFailure().has_value(); }, 10'000));
    QCoreApplication::processEvents();
    EXPECT_EQ(text("listFailure"), "pm2 の一覧を読めません　表示は前回の一覧です");
    EXPECT_TRUE(shown("listFailure") && child(*panel, "list")->graphicsEffect());
    EXPECT_EQ(names(), QStringList{"web"});
    publish({{"old", 0}});
    QCoreApplication::processEvents();
    EXPECT_EQ(text("counts"), "0本 稼働中　合計 0MB");
    EXPECT_FALSE(child(*panel, "stopAll")->isEnabled());
    EXPECT_FALSE(shown("listFailure"));
    store.remove(StoreKey::pm2Path);
    monitor->refresh();
    QCoreApplication::processEvents();
    EXPECT_TRUE(shown("pm2Missing") && shown("settings"));
    EXPECT_FALSE(shown("search") || shown("scroll"));
}

TEST_F(PanelTest, onlyRowsOfSeveralProcessesOpenAndUpdatesKeepWidgetsScrollAndOpenRows)
{
    QList<test::AppOnScreen> apps{{"single"}, {"stopped", 0}};
    for (int i = 0; i < 20; ++i)
        apps.append({QStringLiteral("app-%1").arg(i, 2, 10, QChar(u'0')), 2, {3000 + i}, 200 - i});
    publish(apps);
    makePanel();
    for (const char *name : {"single", "stopped", "app-05"})
        QTest::mouseClick(row(name), Qt::LeftButton);
    EXPECT_EQ(panel->expanded(), QSet<QString>{"app-05"});
    auto *scroll = child<QScrollArea>(*panel, "scroll");
    EXPECT_EQ(scroll->height(), 500);
    scroll->verticalScrollBar()->setValue(300);
    ServerRowView *before = row("app-10");
    publish(apps); // the next refresh, same apps
    QCoreApplication::processEvents();
    EXPECT_EQ(row("app-10"), before);
    EXPECT_EQ(scroll->verticalScrollBar()->value(), 300);
    EXPECT_EQ(panel->expanded(), QSet<QString>{"app-05"});
}

TEST_F(PanelTest, thePictureLayoutHeaderBaselineAndNoMatchLine)
{
    publish({{"one", 1, {}, 90}, {"three", 3, {}, 80}, {"two", 2, {}, 70}});
    makePanel(true, QStringLiteral("t"));                 // as the picture export lays it out
    EXPECT_EQ(panel->expanded(), QSet<QString>{"three"}); // the first of several processes
    EXPECT_EQ(names(), (QStringList{"three", "two"}));
    EXPECT_EQ(panel->findChild<QScrollArea *>(), nullptr);
    panel->setQuery(QStringLiteral("zzz"));
    EXPECT_EQ(text("noMatch"), "「zzz」に一致するサーバーはありません");
    panel->resize(panel->sizeHint());
    panel->layout()->activate();
    auto *title = child<QLabel>(*panel, "title");
    auto *sort = child<SegmentedControl>(*panel, "sort");
    EXPECT_EQ(top(title) + ui::lineAscent(title->font(), title->text()),
              top(sort) + sort->baseline());
    EXPECT_EQ(std::min({top(title), top(sort), top(child(*panel, "refresh"))}), 12);
    QTest::mouseClick(sort, Qt::LeftButton, {}, sort->segmentRect(1).center());
    EXPECT_EQ(store.text(StoreKey::sortKey), "cpu");
    // Right under the divider there is 28 of room, and as much under the line.
    auto *line = child<QLabel>(*panel, "noMatch");
    EXPECT_EQ(top(line) - top(child(*panel, "list")), 28);
    EXPECT_EQ(line->parentWidget()->height(), line->height() + 56);
    panel->panelHidden(); // the popup closed: every opening starts unfiltered
    EXPECT_EQ(panel->query(), QString());
}

TEST_F(PanelTest, theAutomaticStopLineNamesTheAppsAndWhenWithItsMoonCentred)
{
    store.setLastActive({{"api", now() - Seconds(30 * 3600)}, {"web", now() - Seconds(48 * 3600)}});
    publish({{"api"}, {"web"}}, now() - Seconds(2 * 3600));
    makePanel();
    EXPECT_EQ(text("autoStop"), "2時間前に自動で止めました: api、web");
    const auto middle = [&](QWidget *w) { return w->mapTo(panel.get(), w->rect().center()).y(); };
    EXPECT_NEAR(middle(child(*panel, "moon")), middle(child(*panel, "autoStop")), 1);
}

TEST_F(PanelTest, rowsHoldStillUnderThePointerAndTheKeyboardWalksThem)
{
    publish({{"api", 3, {3000}, 300}, {"web", 1, {}, 200}, {"old", 0}});
    makePanel();
    QWidget *area = child<QScrollArea>(*panel, "scroll")->viewport();
    QTest::mouseMove(area, QPoint(100, 10));
    ASSERT_TRUE(area->underMouse());
    // "web" grows past "api" (or "api" was just stopped): under the pointer nothing moves.
    publish({{"api", 3, {3000}, 300}, {"web", 1, {}, 1000}, {"old", 0}});
    QCoreApplication::processEvents();
    EXPECT_EQ(names(), (QStringList{"api", "web", "old"}));
    QTest::mouseMove(panel.get(), QPoint(5, 5)); // out of the list: the new order applies
    EXPECT_TRUE(QTest::qWaitFor([&] { return names() == QStringList{"web", "api", "old"}; }));
    // The last row has no divider: the footer's line follows it.
    const auto visible = [&]<typename T>(T *) {
        int n = 0;
        for (QWidget *w : child(*panel, "list")->findChildren<QWidget *>())
            n += dynamic_cast<T *>(w) && w->isVisibleTo(panel.get());
        return n;
    };
    EXPECT_EQ(visible((Divider *)nullptr), 2);

    // Down to the second row, Enter opens it; a stop closes the breakdown with no strip left.
    auto *search = child(*panel, "search");
    for (const Qt::Key key : {Qt::Key_Down, Qt::Key_Down, Qt::Key_Return})
        QTest::keyClick(search, key);
    EXPECT_TRUE(row("api")->isSelected() && !row("web")->isSelected());
    EXPECT_EQ(panel->expanded(), QSet<QString>{"api"});
    EXPECT_EQ(visible((ProcessBreakdownView *)nullptr), 1);
    publish({{"web", 1, {}, 1000}, {"api", 0}, {"old", 0}, {"new", 0}, {"newer", 0}});
    QCoreApplication::processEvents();
    EXPECT_EQ(visible((ProcessBreakdownView *)nullptr), 0);
    EXPECT_EQ(panel->scrollHeight(), 250); // five rows, and no breakdown's margin
    // A search shows what it found and no more.
    panel->setQuery(QStringLiteral("web"));
    EXPECT_EQ(panel->scrollHeight(), 50);
}
