// The panel on the offscreen platform: what it shows, its search, its heights and its grabber.
#include "app/ui/elided_label.h"
#include "app/ui/panel_view.h"
#include "app/ui/process_breakdown_view.h"
#include "app/ui/segmented_control.h"
#include "app/ui/server_row_view.h"
#include "app/ui/style.h"
#include "app/ui/translations.h"
#include "core/panel_geometry.h"
#include "ui/ui_fixture.h"

#include <QApplication>
#include <QLabel>
#include <QLayout>
#include <QLineEdit>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QTest>
#include <QToolTip>

using namespace nimbrel;
using namespace nimbrel::ui;
using Status = PM2App::Status;

namespace {

class PanelTest : public test::UiTest
{
protected:
    std::optional<double> screen = 1000;
    int resizes = 0;
    std::unique_ptr<PanelView> panel;

    void makePanel(bool flattened = false, std::optional<QString> initialQuery = std::nullopt)
    {
        PanelView::Options options;
        options.flattened = flattened;
        options.initialQuery = std::move(initialQuery);
        options.onResize = [this] { ++resizes; };
        options.screenHeight = [this] { return screen; };
        panel = std::make_unique<PanelView>(monitor, store, options);
        panel->show();
        QCoreApplication::processEvents();
    }
    QList<ServerRowView *> shownRows() const
    {
        QList<ServerRowView *> rows;
        for (ServerRowView *row : panel->findChildren<ServerRowView *>()) {
            if (row->isVisibleTo(panel.get()))
                rows.append(row);
        }
        std::sort(rows.begin(), rows.end(), [](auto *a, auto *b) { return a->y() < b->y(); });
        return rows;
    }
    QStringList shownNames() const
    {
        QStringList names;
        for (ServerRowView *row : shownRows())
            names.append(row->row().app.name);
        return names;
    }
    ServerRowView *rowNamed(const QString &name) const
    {
        for (ServerRowView *row : shownRows()) {
            if (row->row().app.name == name)
                return row;
        }
        return nullptr;
    }
    void settle() { QCoreApplication::processEvents(); }
};

} // namespace

TEST(PanelGeometry, listAndScrollHeights)
{
    using namespace PanelGeometry;
    struct Case
    {
        std::optional<double> screen;
        double stored;
        double list;
    };
    const Case cases[] = {
        {1000, 0, 500}, {1000, 1200, 850}, {1000, 100, 240},       {1000, -5, 500},
        {200, 0, 240},  {200, 900, 240},   {std::nullopt, 0, 450}, {std::nullopt, 2000, 765},
    };
    for (const Case &c : cases)
        EXPECT_EQ(listHeight(c.screen, c.stored), c.list)
            << c.screen.value_or(-1) << " " << c.stored;

    EXPECT_EQ(scrollHeight(500, 3, 0, 0), 240);
    EXPECT_EQ(scrollHeight(500, 15, 0, 0), 500);
    EXPECT_EQ(scrollHeight(900, 10, 1, 4) - scrollHeight(900, 10, 0, 0), 92);
    EXPECT_EQ(draggedHeight(500, 1000, 1000.0), 850);
    EXPECT_EQ(draggedHeight(500, -1000, 1000.0), 240);
}

TEST_F(PanelTest, headerFooterAndTheMissingPm2Message)
{
    publish({{"api", Status::online, 1, {}, 1024},
             {"web", Status::online, 1, {}, 512},
             {"old", Status::stopped}});
    makePanel();
    EXPECT_EQ(child<QLabel>(*panel, "counts")->text(), "2本 稼働中　合計 1.50GB");
    EXPECT_TRUE(child<QPushButton>(*panel, "stopAll")->isEnabled());
    EXPECT_EQ(shownNames(), (QStringList{"api", "web", "old"}));

    publish({{"old", Status::stopped}});
    settle();
    EXPECT_EQ(child<QLabel>(*panel, "counts")->text(), "0本 稼働中　合計 0MB");
    EXPECT_FALSE(child<QPushButton>(*panel, "stopAll")->isEnabled());

    store.remove(StoreKey::pm2Path);
    monitor.refresh();
    settle();
    EXPECT_TRUE(child<QWidget>(*panel, "pm2Missing")->isVisibleTo(panel.get()));
    EXPECT_FALSE(child<QLineEdit>(*panel, "search")->isVisibleTo(panel.get()));
    EXPECT_FALSE(child<QWidget>(*panel, "scroll")->isVisibleTo(panel.get()));
    EXPECT_TRUE(child<QPushButton>(*panel, "settings")->isVisibleTo(panel.get()));
}

TEST_F(PanelTest, searchFiltersEscapesAndClears)
{
    publish({{"shop-api", Status::online, 1, {3000}},
             {"shop-web", Status::online, 1, {5173}},
             {"blog", Status::online, 1, {4000}}});
    makePanel();
    auto *search = child<QLineEdit>(*panel, "search");
    auto *clear = child<QWidget>(*panel, "clearSearch");
    EXPECT_FALSE(clear->isVisibleTo(panel.get()));

    QTest::keyClicks(search, QStringLiteral("sh"));
    search->insert(QStringLiteral("ｏｐ　30")); // typed through an input method
    settle();
    EXPECT_EQ(shownNames(), QStringList{"shop-api"});
    EXPECT_TRUE(clear->isVisibleTo(panel.get()));
    EXPECT_GT(resizes, 0);

    search->setText(QStringLiteral("nothing"));
    settle();
    auto *noMatch = child<QLabel>(*panel, "noMatch");
    EXPECT_TRUE(shownNames().isEmpty());
    EXPECT_TRUE(noMatch->isVisibleTo(panel.get()));
    EXPECT_EQ(noMatch->text(), "「nothing」に一致するサーバーはありません");

    QTest::keyClick(search, Qt::Key_Escape);
    settle();
    EXPECT_EQ(panel->query(), QString());
    EXPECT_EQ(shownNames().size(), 3);
    EXPECT_FALSE(noMatch->isVisibleTo(panel.get()));

    search->setText(QStringLiteral("blog"));
    QTest::mouseClick(clear, Qt::LeftButton);
    EXPECT_EQ(panel->query(), QString());

    search->setText(QStringLiteral("😀́ｘ"));
    panel->panelHidden(); // the popup closed: every opening starts unfiltered
    EXPECT_EQ(panel->query(), QString());
    EXPECT_EQ(panel->width(), PanelView::panelWidth);
}

TEST_F(PanelTest, rowsOpenTheirBreakdownOnlyWhenTheyHaveSeveralProcesses)
{
    publish({{"tree", Status::online, 4, {3000}},
             {"single", Status::online, 1},
             {"stopped", Status::stopped}});
    makePanel();
    const double closed = panel->scrollHeight();
    for (const char *name : {"single", "stopped"}) {
        QTest::mouseClick(rowNamed(name), Qt::LeftButton);
        EXPECT_TRUE(panel->expanded().isEmpty()) << name;
    }
    QTest::mouseClick(rowNamed("tree"), Qt::LeftButton);
    EXPECT_EQ(panel->expanded(), QSet<QString>{"tree"});
    const auto breakdowns = panel->findChildren<ProcessBreakdownView *>();
    EXPECT_EQ(std::count_if(breakdowns.begin(), breakdowns.end(),
                            [&](auto *b) { return b->isVisibleTo(panel.get()); }),
              1);
    EXPECT_EQ(panel->scrollHeight(), std::max(closed, 3 * 50.0 + 4 * 21 + 8));
    QTest::mouseClick(rowNamed("tree"), Qt::LeftButton);
    EXPECT_TRUE(panel->expanded().isEmpty());
}

TEST_F(PanelTest, updatesKeepTheWidgetsScrollPositionAndOpenBreakdowns)
{
    QList<test::AppOnScreen> apps;
    for (int i = 0; i < 30; ++i)
        apps.append({QStringLiteral("app-%1").arg(i, 2, 10, QChar(u'0')),
                     Status::online,
                     2,
                     {3000 + i},
                     200 - i});
    publish(apps);
    makePanel();
    panel->toggle("app-05");
    auto *scroll = child<QScrollArea>(*panel, "scroll");
    EXPECT_EQ(scroll->height(), 500);
    // The scroll bar floats: the rows' buttons end where the header's refresh button ends.
    QWidget *open = child<QWidget>(*rowNamed("app-00"), "open");
    QWidget *refresh = child<QWidget>(*panel, "refresh");
    const auto right = [&](QWidget *w) { return w->mapTo(panel.get(), w->rect().topRight()).x(); };
    EXPECT_EQ(right(open), right(refresh));
    EXPECT_TRUE(child<QWidget>(*panel, "scrollBar")->isVisible());
    scroll->verticalScrollBar()->setValue(300);
    ServerRowView *before = rowNamed("app-10");

    publish(apps); // the next refresh, same apps
    settle();
    EXPECT_EQ(rowNamed("app-10"), before);
    EXPECT_EQ(scroll->verticalScrollBar()->value(), 300);
    EXPECT_TRUE(panel->expanded().contains("app-05"));
}

TEST_F(PanelTest, theGrabberDragsTheListHeightWithinItsBoundsAndStoresIt)
{
    publish({{"web"}});
    makePanel();
    EXPECT_EQ(panel->listHeight(), 500);
    QWidget *grabber = child<QWidget>(*panel, "grabber");
    const QPoint middle = grabber->rect().center();
    QTest::mousePress(grabber, Qt::LeftButton, {}, middle);
    QTest::mouseMove(grabber, middle + QPoint(0, 1000));
    EXPECT_EQ(panel->listHeight(), 850);
    EXPECT_EQ(store.number(StoreKey::panelHeight), std::nullopt); // stored once, at the end
    QTest::mouseRelease(grabber, Qt::LeftButton, {}, middle + QPoint(0, 1000));
    EXPECT_EQ(store.number(StoreKey::panelHeight), 850);
    EXPECT_GE(resizes, 2);

    screen = std::nullopt; // the same stored height without a screen: at most 765
    makePanel();
    EXPECT_EQ(panel->listHeight(), 765);
}

TEST_F(PanelTest, thePictureLayoutOpensTheFirstRowOfSeveralProcessesAndTakesTheQuery)
{
    publish({{"one", Status::online, 1, {}, 90},
             {"three", Status::online, 3, {}, 80},
             {"two", Status::online, 2, {}, 70}});
    makePanel(true, QStringLiteral("t"));
    EXPECT_EQ(panel->expanded(), QSet<QString>{"three"});
    EXPECT_EQ(panel->query(), "t");
    EXPECT_EQ(shownNames(), (QStringList{"three", "two"}));
    EXPECT_EQ(panel->findChild<QScrollArea *>(), nullptr);
}

TEST_F(PanelTest, theAutomaticStopLineNamesTheAppsAndWhenWithItsMoonCentred)
{
    store.setLastActive({{"api", now() - Seconds(30 * 3600)}, {"web", now() - Seconds(48 * 3600)}});
    publish({{"api"}, {"web"}}, now() - Seconds(2 * 3600));
    makePanel();
    auto *text = child<QLabel>(*panel, "autoStop");
    EXPECT_EQ(text->text(), "2時間前に自動で止めました: api、web");
    auto *moon = child<QWidget>(*panel, "moon");
    const auto middle = [&](QWidget *w) { return w->mapTo(panel.get(), w->rect().center()).y(); };
    EXPECT_NEAR(middle(moon), middle(text), 1); // the stack is centred
}

TEST_F(PanelTest, theHeaderStandsOnTheTitlesBaselineAndTheNoMatchLineIsPadded)
{
    publish({{"api"}});
    makePanel(true, QStringLiteral("zzz")); // laid out as the picture export lays it out
    panel->resize(panel->sizeHint());
    panel->layout()->activate();
    const auto y = [&](QWidget *w) { return w->mapTo(panel.get(), QPoint(0, 0)).y(); };
    auto *title = child<QLabel>(*panel, "title");
    auto *sort = child<SegmentedControl>(*panel, "sort");
    EXPECT_EQ(y(title) + title->fontMetrics().ascent(), y(sort) + sort->baseline());
    EXPECT_EQ(std::min({y(title), y(sort), y(child<QWidget>(*panel, "refresh"))}), 12);
    QTest::mouseClick(sort, Qt::LeftButton, {}, sort->segmentRect(1).center());
    EXPECT_EQ(monitor.sortKey(), SortKey::cpu);

    auto *line = child<QLabel>(*panel, "noMatch");
    auto *list = child<QWidget>(*panel, "list");
    EXPECT_EQ(y(line) - y(list), 28); // right under the divider there is 28 of room
    EXPECT_EQ(line->parentWidget()->height(), line->height() + 56);
    EXPECT_EQ(line->parentWidget()->width(), PanelView::panelWidth);
}

TEST_F(PanelTest, typingSearchesAfterAClickAndHoverFollowsRowsThatMoved)
{
    publish({{"tree", Status::online, 3, {3000}, 90}, {"small", Status::online, 1, {3001}, 10}});
    makePanel();
    panel->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(panel.get()));
    QTest::mouseClick(rowNamed("tree"), Qt::LeftButton);
    QTest::keyClicks(nullptr, QStringLiteral("tr")); // to whatever has the keyboard
    EXPECT_EQ(panel->query(), "tr");
    panel->setQuery({});

    auto *firstPin = child<QWidget>(*rowNamed("tree"), "pin");
    QCursor::setPos(firstPin->mapToGlobal(firstPin->rect().center()));
    QTest::mouseMove(firstPin);
    ASSERT_TRUE(firstPin->underMouse());
    const auto corner = [&] { return rowNamed("tree")->grab().toImage().pixel(2, 2); };
    const QRgb hovered = corner(); // a row that opens shows the pointer over it
    publish({{"tree", Status::online, 3, {3000}, 10}, {"small", Status::online, 1, {3001}, 90}});
    settle();
    settle();
    EXPECT_EQ(shownNames(), (QStringList{"small", "tree"}));
    EXPECT_FALSE(firstPin->underMouse());
    EXPECT_TRUE(child<QWidget>(*rowNamed("small"), "pin")->underMouse());
    EXPECT_NE(corner(), hovered);
}

TEST_F(PanelTest, aRowsButtonsReachTheMonitor)
{
    pm2.setApps({{"web", 1}});
    pm2.setDelay("stop", 1);
    publish({{"web"}});
    makePanel();
    QTest::mouseClick(child<QWidget>(*rowNamed("web"), "run"), Qt::LeftButton);
    EXPECT_EQ(monitor.busyNames(), QSet<QString>{"web"});
    settle();
    EXPECT_TRUE(child<QWidget>(*rowNamed("web"), "busy")->isVisible());
    EXPECT_TRUE(QTest::qWaitFor([&] { return monitor.busyNames().isEmpty(); }, 10'000));
    EXPECT_EQ(pm2.namesFor("stop"), QStringList{"web"});
}

TEST_F(PanelTest, aVeryLongNameIsCutByTheRowNotByThePanel)
{
    publish({{QString(300, u'x') + QStringLiteral("-api"), Status::online, 1, {3000}}});
    makePanel();
    EXPECT_EQ(panel->sizeHint().expandedTo(panel->minimumSize()).width(), PanelView::panelWidth);
    EXPECT_EQ(panel->width(), PanelView::panelWidth);
    auto *name = child<ElidedLabel>(*shownRows().front(), "name");
    EXPECT_LT(name->width(), name->fontMetrics().horizontalAdvance(name->text()));
    EXPECT_EQ(name->toolTip(), name->text()); // readable in full
    EXPECT_EQ(child<ElidedLabel>(*shownRows().front(), "detail")->toolTip(), QString());
}

TEST(Appearance, tooltipsFollowThePaletteAndQtsOwnTextsAreJapanese)
{
    test::TestEnvironment env;
    auto &application = *static_cast<QApplication *>(QCoreApplication::instance());
    const QPalette before = QApplication::palette();
    for (const bool dark : {false, true}) {
        applyAppearance(application, dark);
        const QPalette tips = QToolTip::palette();
        EXPECT_EQ(tips.color(QPalette::ToolTipBase).lightness() < 128, dark); // never yellow
        EXPECT_EQ(tips.color(QPalette::ToolTipText), QApplication::palette().color(QPalette::Text));
    }
    QApplication::setPalette(before);
    ASSERT_TRUE(installQtJapanese(application)) << "qt6-translations-l10n is not installed";
    EXPECT_EQ(QCoreApplication::translate("QFileDialog", "Open"), "開く");
}
