// `nimbrel --control` as a user runs it: the real binary, real pm2 under a private PM2_HOME and
// real node servers.
#include "app/store.h"
#include "support/pm2_sandbox.h"
#include "support/fake_pm2.h"
#include "support/test_environment.h"

#include <QElapsedTimer>
#include <QFile>

#include <gtest/gtest.h>

using namespace nimbrel;
using Status = PM2App::Status;

namespace {

class ControlTest : public ::testing::Test
{
protected:
    test::TestEnvironment env;
    test::Pm2Sandbox pm2{env.pm2Home()};

    void SetUp() override { usePm2(test::currentPm2); }

    void usePm2(const QString &path)
    {
        Store(env.settingsFile()).setValue(StoreKey::pm2Path, path);
    }

    Shell::Result nimbrel(const QStringList &arguments)
    {
        return Shell::run(QStringLiteral(NIMBREL_BINARY), arguments, std::nullopt, 120);
    }

    std::optional<Instant> lastActive(const QString &name)
    {
        const Store::LastActive times = Store(env.settingsFile()).lastActive();
        return times.contains(name) ? std::optional(times.value(name)) : std::nullopt;
    }
};

} // namespace

TEST_F(ControlTest, listShowsEveryAppWithItsStatusInPm2sOrder)
{
    pm2.startApp("shop-api");
    pm2.startApp("shop-web");
    ASSERT_EQ(pm2.run({"stop", "shop-web"}).status, 0);

    const Shell::Result result = nimbrel({"--control", "list", "ignored"});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.output, "online\tshop-api\nstopped\tshop-web\n");
}

TEST_F(ControlTest, startStopAndRestartReportTheOutcomeAndRestartRecordsActivity)
{
    pm2.startApp("shop-api");

    const Instant before = now();
    Shell::Result result = nimbrel({"--control", "restart", "shop-api"});
    EXPECT_EQ(result.output, "restart: shop-api 完了\n");
    EXPECT_EQ(result.status, 0);
    const std::optional<Instant> restartedAt = lastActive("shop-api");
    ASSERT_TRUE(restartedAt);
    EXPECT_GE(*restartedAt, before);
    EXPECT_LE(*restartedAt, now());

    result = nimbrel({"--control", "stop", "shop-api"});
    EXPECT_EQ(result.output, "stop: shop-api 完了\n");
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(pm2.statusOf("shop-api"), Status::stopped);
    EXPECT_EQ(lastActive("shop-api"), restartedAt);

    result = nimbrel({"--control", "start", "shop-api"});
    EXPECT_EQ(result.output, "start: shop-api 完了\n");
    EXPECT_EQ(pm2.statusOf("shop-api"), Status::online);

    result = nimbrel({"--control", "restart", "no-such-app"});
    EXPECT_EQ(result.output, "restart: no-such-app 失敗\n");
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(lastActive("no-such-app"), std::nullopt);
}

TEST_F(ControlTest, aNameWithShellCharactersReachesPm2AsOneArgument)
{
    const QString name = QStringLiteral("a b;$(touch pwned)`touch pwned`");
    pm2.startApp(name);

    const Shell::Result result = nimbrel({"--control", "stop", name});
    EXPECT_EQ(result.output, "stop: " + name + " 完了\n");
    EXPECT_EQ(pm2.statusOf(name), Status::stopped);
    EXPECT_FALSE(QFile::exists("pwned"));
    EXPECT_FALSE(QFile::exists(env.home() + "/pwned"));
}

TEST_F(ControlTest, listWorksWhileAnOlderPm2DaemonRuns)
{
    pm2.startApp("legacy-api", test::olderPm2);

    const Shell::Result result = nimbrel({"--control", "list"});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.output, "online\tlegacy-api\n");
}

TEST_F(ControlTest, listAfterAColdStartPrintsNothing)
{
    ASSERT_FALSE(QFile::exists(env.pm2Home() + "/pm2.pid"));
    pm2.run({"ping"}); // so that the sandbox cleans up the daemon the list is about to spawn
    pm2.run({"kill"});

    const Shell::Result result = nimbrel({"--control", "list"});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.output, "");
    EXPECT_TRUE(QFile::exists(env.pm2Home() + "/pm2.pid"));
}

TEST_F(ControlTest, aHangingPm2CostsTheListItsLimitAndNoMore)
{
    test::FakePm2 fake(env);
    fake.setMode("hang");
    usePm2(test::FakePm2::path());

    QElapsedTimer clock;
    clock.start();
    const Shell::Result result = nimbrel({"--control", "list"});

    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.output, "");
    EXPECT_GE(clock.elapsed(), 20'000);
    EXPECT_LT(clock.elapsed(), 23'000 + 2'000);
}
