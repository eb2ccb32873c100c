// `nimbrel --screenshot` and `--measure` as a user runs them: the real binary, real pm2 with
// running apps, no display.
#include "app/store.h"
#include "support/test_environment.h"

#include <QFile>
#include <QImage>

#include <gtest/gtest.h>

#include <future>

using namespace nimbrel;

TEST(Screenshot, drawsThePanelOfTheRealAppsWithoutADisplay)
{
    test::TestEnvironment env;
    for (const char *display : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        env.set(display, std::nullopt);
    Store(env.settingsFile()).setValue(StoreKey::pm2Path, test::currentPm2);
    test::startApp("shop-api");
    test::startApp("shop-web");

    const auto nimbrel = [&](const QStringList &arguments) {
        return std::async(std::launch::async, [arguments] {
            return Shell::run(QStringLiteral(NIMBREL_BINARY), arguments, std::nullopt, 60);
        });
    };
    const QString all = env.root() + "/all.png", none = env.root() + "/none.png";
    const QString nowhere = env.root() + "/no/such/folder/panel.png";
    std::future<Shell::Result> shots[] = {
        nimbrel({"--screenshot", all, "--appearance", "dark"}),
        nimbrel({"--screenshot", none, "--query", "no-such-server"}),
        nimbrel({"--screenshot", nowhere})};
    const Shell::Result measured = nimbrel({"--measure"}).get();
    EXPECT_EQ(measured.status, 0);
    EXPECT_TRUE(measured.output.startsWith("画面の高さ 0 / 半分 0\n"))
        << measured.output.toStdString();
    for (std::future<Shell::Result> &shot : shots) {
        const Shell::Result result = shot.get();
        EXPECT_EQ(result.status, 0);
        EXPECT_EQ(result.output, ""); // nothing printed, not even Qt's notes
    }
    const QImage allImage(all), noneImage(none);
    ASSERT_FALSE(allImage.isNull() || noneImage.isNull());
    EXPECT_EQ(allImage.width(), 560);
    EXPECT_EQ(noneImage.width(), 560);
    EXPECT_GT(allImage.height(), 200);
    EXPECT_LT(noneImage.height(), allImage.height()); // two apps' rows against the no-match line
    EXPECT_FALSE(QFile::exists(nowhere));
}
