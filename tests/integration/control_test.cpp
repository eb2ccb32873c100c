// `nimbrel --control` as a user runs it: the real binary, real pm2 under a private PM2_HOME and
// real node servers.
#include "app/store.h"
#include "support/fake_pm2.h"
#include "support/pm2_sandbox.h"

#include <QElapsedTimer>
#include <QFile>

#include <gtest/gtest.h>

using namespace nimbrel;
using test::startApp;

namespace {

class ControlTest : public ::testing::Test
{
protected:
    test::TestEnvironment env;
    Store store{env.settingsFile()};

    void SetUp() override { store.setValue(StoreKey::pm2Path, test::currentPm2); }
    static Shell::Result nimbrel(const QStringList &arguments)
    {
        return Shell::run(QStringLiteral(NIMBREL_BINARY), arguments, std::nullopt, 120);
    }
    std::optional<Instant> lastActive(const QString &name)
    {
        const Store::LastActive times = store.lastActive();
        return times.contains(name) ? std::optional(times.value(name)) : std::nullopt;
    }
};

} // namespace

TEST_F(ControlTest, listShowsEveryAppWithItsStatusInPm2sOrder)
{
    startApp("shop-api");
    startApp("shop-web");
    ASSERT_EQ(test::pm2({"stop", "shop-web"}).status, 0);
    const Shell::Result result = nimbrel({"--control", "list", "ignored"});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.output, "online\tshop-api\nstopped\tshop-web\n");
}

TEST_F(ControlTest, listWorksWhileAnOlderPm2DaemonRuns)
{
    startApp("legacy-api", test::olderPm2);
    const Shell::Result result = nimbrel({"--control", "list"});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.output, "online\tlegacy-api\n");
}

TEST_F(ControlTest, listAfterAColdStartPrintsNothing)
{
    ASSERT_FALSE(QFile::exists(env.pm2Home() + "/pm2.pid"));
    const Shell::Result result = nimbrel({"--control", "list"});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.output, "");
    EXPECT_TRUE(QFile::exists(env.pm2Home() + "/pm2.pid")); // the daemon pm2 started for it
}

TEST_F(ControlTest, startStopAndRestartReportTheOutcomeAndRestartRecordsActivity)
{
    startApp("shop-api");
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
    EXPECT_EQ(test::statusOf("shop-api"), PM2App::Status::stopped);
    EXPECT_EQ(lastActive("shop-api"), restartedAt);

    result = nimbrel({"--control", "start", "shop-api"});
    EXPECT_EQ(result.output, "start: shop-api 完了\n");
    EXPECT_EQ(test::statusOf("shop-api"), PM2App::Status::online);

    result = nimbrel({"--control", "restart", "no-such-app"});
    EXPECT_EQ(result.output, "restart: no-such-app 失敗\n");
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(lastActive("no-such-app"), std::nullopt);
}

TEST_F(ControlTest, aHangingPm2CostsTheListItsLimitAndNoMore)
{
    test::FakePm2 fake(env);
    fake.setMode("hang");
    store.setValue(StoreKey::pm2Path, test::FakePm2::path());
    QElapsedTimer clock;
    clock.start();
    const Shell::Result result = nimbrel({"--control", "list"});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.output, "");
    EXPECT_GE(clock.elapsed(), 20'000);
    EXPECT_LT(clock.elapsed(), 25'000);
}
