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
    // --measure, then --screenshot with its path, then --login, then --control; the first of each.
    const std::pair<QStringList, LaunchMode> cases[] = {
        {{"nimbrel", "--CONTROL", "list"}, {}},
        {{"nimbrel", "--control"}, control(std::nullopt, {})},
        {{"nimbrel", "--control", "list", "extra", "more"}, control("list", "extra")},
        {{"nimbrel", "x", "--control", "stop", "a b;$(rm)"}, control("stop", "a b;$(rm)")},
        {{"nimbrel", "--login"}, {.kind = Kind::login, .loginAction = "status"}},
        {{"nimbrel", "--control", "list", "--login", "off"},
         {.kind = Kind::login, .loginAction = "off"}},
        {{"nimbrel", "--screenshot", "/tmp/a.png", "--login", "on"},
         {.kind = Kind::screenshot, .screenshotPath = "/tmp/a.png"}},
        {{"nimbrel", "--login", "on", "--screenshot"}, {.kind = Kind::login, .loginAction = "on"}},
        {{"nimbrel", "--control", "list", "--measure"}, {.kind = Kind::measure}},
    };
    for (const auto &[arguments, expected] : cases)
        EXPECT_EQ(chooseMode(arguments), expected) << arguments.join(' ').toStdString();
}
