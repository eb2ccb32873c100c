// `nimbrel --screenshot` as a user runs it: the real binary, real pm2 with running apps, no
// display.
#include "app/store.h"
#include "support/pm2_sandbox.h"
#include "support/test_environment.h"

#include <QFile>
#include <QImage>

#include <gtest/gtest.h>

#include <future>

using namespace nimbrel;

TEST(Screenshot, drawsThePanelOfTheRealAppsWithoutADisplay)
{
    test::TestEnvironment env;
    env.set("DISPLAY", std::nullopt);
    env.set("WAYLAND_DISPLAY", std::nullopt);
    env.set("QT_QPA_PLATFORM", std::nullopt);
    test::Pm2Sandbox pm2(env.pm2Home());
    Store(env.settingsFile()).setValue(StoreKey::pm2Path, test::currentPm2);
    pm2.startApp("shop-api");
    pm2.startApp("shop-web");

    const auto shoot = [&](const QString &path, QStringList options) {
        return std::async(std::launch::async, [path, options] {
            return Shell::run(QStringLiteral(NIMBREL_BINARY),
                              QStringList{QStringLiteral("--screenshot"), path} + options,
                              std::nullopt, 60);
        });
    };
    const QString all = env.root() + "/all.png";
    const QString none = env.root() + "/none.png";
    const QString nowhere = env.root() + "/no/such/folder/panel.png";
    auto allShot = shoot(all, {"--appearance", "dark"});
    auto noneShot = shoot(none, {"--query", "no-such-server"});
    auto nowhereShot = shoot(nowhere, {});

    for (auto *shot : {&allShot, &noneShot, &nowhereShot}) {
        const Shell::Result result = shot->get();
        EXPECT_EQ(result.status, 0);
        EXPECT_EQ(result.output, ""); // nothing printed, not even Qt's notes
    }
    const QImage allImage(all);
    const QImage noneImage(none);
    ASSERT_FALSE(allImage.isNull());
    ASSERT_FALSE(noneImage.isNull());
    EXPECT_EQ(allImage.width(), 560);
    EXPECT_EQ(noneImage.width(), 560);
    EXPECT_GT(allImage.height(), 200);
    // The flattened list of two apps against the one no-match line.
    EXPECT_LT(noneImage.height(), allImage.height());
    EXPECT_FALSE(QFile::exists(nowhere));
}
