// Which mode a command line asks for.
#include "app/launch_mode.h"

#include <gtest/gtest.h>

using namespace nimbrel;
using Kind = LaunchMode::Kind;

TEST(LaunchMode, optionsAreTriedInTheirFixedOrder)
{
    struct Case
    {
        QStringList arguments;
        LaunchMode expected;
    };
    const auto control = [](std::optional<QString> action, QString name) {
        return LaunchMode{.kind = Kind::control, .controlAction = action, .controlName = name};
    };
    const auto login = [](QString action) {
        return LaunchMode{.kind = Kind::login, .loginAction = action};
    };
    const Case cases[] = {
        {{"nimbrel"}, {}},
        {{"nimbrel", "--verbose", "list"}, {}},
        {{"nimbrel", "--control"}, control(std::nullopt, {})},
        {{"nimbrel", "--control", "start"}, control("start", {})},
        {{"nimbrel", "--control", "list", "extra", "more"}, control("list", "extra")},
        {{"nimbrel", "x", "--control", "stop", "a b;$(rm)"}, control("stop", "a b;$(rm)")},
        {{"nimbrel", "--control", "stop", "web", "--control", "start", "api"},
         control("stop", "web")},
        {{"nimbrel", "--CONTROL", "list"}, {}},
        {{"nimbrel", "--login"}, login("status")},
        {{"nimbrel", "--login", "on"}, login("on")},
        {{"nimbrel", "--control", "list", "--login", "off"}, login("off")},
        {{"nimbrel", "--control", "--login"}, login("status")},
        {{"nimbrel", "--screenshot", "/tmp/a.png", "--login", "on"},
         {.kind = Kind::screenshot, .screenshotPath = "/tmp/a.png"}},
        {{"nimbrel", "--login", "on", "--screenshot"}, login("on")},
        {{"nimbrel", "--control", "list", "--measure"}, {.kind = Kind::measure}},
        {{"--measure"}, {.kind = Kind::measure}}, // the program's own path counts too
    };
    for (const Case &c : cases)
        EXPECT_EQ(chooseMode(c.arguments), c.expected) << c.arguments.join(' ').toStdString();
}
