// `nimbrel --control` as a user runs it: the real binary, real pm2 under a private PM2_HOME and
// real node servers.
#include "app/store.h"
#include "support/fake_pm2.h"
#include "support/test_environment.h"

#include <QElapsedTimer>
#include <QFile>

#include <gtest/gtest.h>

using namespace nimbrel;

namespace {

Shell::Result control(const QStringList &arguments)
{
    return Shell::run(NIMBREL_BINARY, QStringList{"--control"} + arguments, std::nullopt, 120);
}

} // namespace

TEST(Control, listPrintsEachAppsStatusAndNameInPm2sOrder)
{
    struct Case
    {
        QString pm2;
        QStringList apps, stopped;
        QString printed;
    };
    const Case cases[] = {
        {test::currentPm2,
         {"shop-api", "shop-web"},
         {"shop-web"},
         "online\tshop-api\nstopped\tshop-web\n"},
        {test::olderPm2, {"legacy-api"}, {}, "online\tlegacy-api\n"}, // a daemon older than ours
        {test::currentPm2, {}, {}, ""}}; // a cold start: the list starts the daemon
    for (const Case &c : cases) {
        test::TestEnvironment env;
        Store(env.settingsFile()).setValue(StoreKey::pm2Path, test::currentPm2);
        for (const QString &name : c.apps)
            test::startApp(name, c.pm2);
        for (const QString &name : c.stopped)
            ASSERT_EQ(test::pm2({"stop", name}, c.pm2).status, 0);
        const Shell::Result result = control({"list", "ignored"});
        EXPECT_EQ(result.status, 0);
        EXPECT_EQ(result.output, c.printed);
        EXPECT_TRUE(QFile::exists(env.pm2Home() + "/pm2.pid"));
    }
}

TEST(Control, startStopAndRestartReportTheOutcomeAndRestartRecordsActivity)
{
    test::TestEnvironment env;
    Store store(env.settingsFile());
    store.setValue(StoreKey::pm2Path, test::currentPm2);
    const auto lastActive = [&](const QString &name) {
        const Store::LastActive times = store.lastActive();
        return times.contains(name) ? std::optional(times.value(name)) : std::nullopt;
    };
    test::startApp("shop-api");
    const Instant before = now();
    Shell::Result result = control({"restart", "shop-api"});
    EXPECT_EQ(result.output, "restart: shop-api 完了\n");
    EXPECT_EQ(result.status, 0);
    const std::optional<Instant> restartedAt = lastActive("shop-api");
    ASSERT_TRUE(restartedAt);
    EXPECT_GE(*restartedAt, before);
    EXPECT_LE(*restartedAt, now());

    result = control({"stop", "shop-api"});
    EXPECT_EQ(result.output, "stop: shop-api 完了\n");
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(test::statusOf("shop-api"), PM2App::Status::stopped);
    EXPECT_EQ(lastActive("shop-api"), restartedAt);

    result = control({"start", "shop-api"});
    EXPECT_EQ(result.output, "start: shop-api 完了\n");
    EXPECT_EQ(test::statusOf("shop-api"), PM2App::Status::online);

    result = control({"restart", "no-such-app"});
    EXPECT_EQ(result.output, "restart: no-such-app 失敗\n");
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(lastActive("no-such-app"), std::nullopt);
}

TEST(Control, aHangingPm2CostsTheListItsLimitAndNoMore)
{
    test::TestEnvironment env;
    test::FakePm2 fake(env);
    fake.setMode("hang");
    Store(env.settingsFile()).setValue(StoreKey::pm2Path, test::FakePm2::path());
    QElapsedTimer clock;
    clock.start();
    const Shell::Result result = control({"list"});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.output, "");
    EXPECT_GE(clock.elapsed(), 20'000);
    EXPECT_LT(clock.elapsed(), 25'000);
}
