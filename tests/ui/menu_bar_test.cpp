// Where the popup goes: under the icon, above it at the bottom of a screen, at the pointer when
// the tray does not say where the icon is, and always on the screen.
#include "app/ui/menu_bar.h"

#include <gtest/gtest.h>

using nimbrel::ui::MenuBar;

TEST(MenuBarPlacement, popupStaysOnScreenNextToTheIcon)
{
    const QRect screen(0, 0, 1280, 800);
    const QSize popup(560, 400);
    struct Case
    {
        const char *label;
        std::optional<QRect> icon;
        QPoint pointer;
        QRect available;
        QPoint at;
    };
    const Case cases[] = {
        {"icon at the top right: under it, pushed left",
         QRect(1256, 0, 24, 24),
         {},
         screen,
         {720, 24}},
        {"icon at the top left", QRect(0, 0, 24, 24), {}, screen, {0, 24}},
        {"icon in the middle of a top bar", QRect(628, 0, 24, 24), {}, screen, {359, 24}},
        {"icon at the bottom: above it", QRect(1256, 776, 24, 24), {}, screen, {720, 376}},
        {"no icon geometry: at the pointer", std::nullopt, QPoint(200, 100), screen, {0, 100}},
        {"no icon, pointer low: above it", std::nullopt, QPoint(640, 700), screen, {360, 300}},
        {"a screen smaller than the popup", QRect(0, 0, 24, 24), {}, QRect(0, 0, 500, 300), {0, 0}},
        {"a second screen to the right",
         QRect(2500, 0, 24, 24),
         {},
         QRect(1280, 0, 1280, 1024),
         {1280 + 1280 - 560, 24}},
    };
    for (const Case &c : cases)
        EXPECT_EQ(MenuBar::placement(popup, c.icon, c.pointer, c.available), c.at) << c.label;
}
