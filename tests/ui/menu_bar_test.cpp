// What the icon's clicks do, and the popup's window while it is closed.
#include "app/system/login_item.h"
#include "app/ui/menu_bar.h"
#include "core/panel_toggle.h"
#include "support/monitor_fixture.h"

using namespace nimbrel;

TEST(MenuBarClicks, aClickOrADoubleClickOnTheIconDoesWhatTheUserMeant)
{
    // 'a' the icon's call; a press outside the panel 'i' on the icon, 'e' elsewhere (an X11
    // popup knows which), 'u' a loss of activation; each with its time in ms. 400 ms double clicks.
    const std::tuple<const char *, const char *, bool> cases[] = {
        {"a click opens", "a0", true},
        {"a later click closes", "a0 a1000", false},
        {"the three calls of one double click, closed", "a0 a150 a160", true},
        {"the three calls, open", "a0 a2000 a2150 a2160", true},
        {"the icon's press hid the popup: its call does not reopen", "a0 i1000 a1010", false},
        {"X11 double click: the second press hid it, it comes back", "a0 i150 a160", true},
        {"losing activation to the icon's click: no reopening", "a0 u1000 a1050", false},
        {"a click elsewhere right after opening closes", "a0 u100", false},
        {"the icon soon after a press elsewhere opens", "a0 e1000 a1100", true},
        {"the icon long after losing activation opens", "a0 u1000 a2000", true},
    };
    for (const auto &[label, events, expected] : cases) {
        PanelToggle toggle(400);
        bool shown = false;
        for (const QString &event : QString(events).split(u' ')) {
            const int at = event.mid(1).toInt();
            if (event[0] == u'a') {
                const auto step = toggle.activated(at, shown);
                shown = step == PanelToggle::Step::none ? shown : step == PanelToggle::Step::open;
            } else if (shown) {
                // 'i', 'e' and 'u' in the order of the kinds of press
                const auto press = PanelToggle::Press(QStringLiteral("ieu").indexOf(event[0]));
                shown = toggle.hiddenFromOutside(at, press);
            }
        }
        EXPECT_EQ(shown, expected) << label;
    }
}

using MenuBarWindow = test::MonitorFixture;

TEST_F(MenuBarWindow, theClosedPanelGivesBackItsWindowAndComesBackWhole)
{
    LoginItem login(env.config() + "/autostart/nimbrel.desktop", env.root() + "/nimbrel");
    ui::MenuBar menuBar(*monitor, store, login);
    menuBar.start();
    publish({{"web"}, {"api"}});
    for (int opening = 0; opening < 2; ++opening) {
        menuBar.togglePanel();
        QCoreApplication::processEvents();
        ASSERT_TRUE(menuBar.popup()->isVisible());
        menuBar.popup()->hide();
        QCoreApplication::processEvents();
        // No native window, and with it no drawing buffer, while nobody looks.
        EXPECT_FALSE(menuBar.popup()->testAttribute(Qt::WA_WState_Created));
        QTest::qWait(500); // past the guard that keeps the icon's own click from reopening it
    }
}
