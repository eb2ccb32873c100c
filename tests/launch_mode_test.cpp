// Which mode a command line asks for.
#include "app/launch_mode.h"

#include <gtest/gtest.h>

using namespace nimbrel;
using Kind = LaunchMode::Kind;

TEST(LaunchMode, optionsAreTriedInTheirFixedOrder)
{
    const auto control = [](std::optional<QString> action, QString name) {
        return LaunchMode{.kind = Kind::control, .controlAction = action, .controlName = name};
    };
    const auto login = [](QString action) {
        return LaunchMode{.kind = Kind::login, .loginAction = action};
    };
    // --measure, then --screenshot with its path, then --login, then --control; the first of each.
    const std::pair<QStringList, LaunchMode> cases[] = {
        {{"nimbrel", "--CONTROL", "list"}, {}},
        {{"nimbrel", "--control"}, control(std::nullopt, {})},
        {{"nimbrel", "--control", "list", "extra", "more"}, control("list", "extra")},
        {{"nimbrel", "x", "--control", "stop", "a b;$(rm)"}, control("stop", "a b;$(rm)")},
        {{"nimbrel", "--login"}, login("status")},
        {{"nimbrel", "--control", "list", "--login", "off"}, login("off")},
        {{"nimbrel", "--screenshot", "/tmp/a.png", "--login", "on"},
         {.kind = Kind::screenshot, .screenshotPath = "/tmp/a.png"}},
        {{"nimbrel", "--login", "on", "--screenshot"}, login("on")},
        {{"nimbrel", "--control", "list", "--measure"}, {.kind = Kind::measure}},
        {{"--measure"}, {.kind = Kind::measure}}, // the program's own path counts too
    };
    for (const auto &[arguments, expected] : cases)
        EXPECT_EQ(chooseMode(arguments), expected) << arguments.join(' ').toStdString();
}
