// The monitor against real pm2, real node servers, real connections and the real tools.
#include "app/monitor.h"
#include "support/pm2_sandbox.h"

#include <QTest>

#include <gtest/gtest.h>

#include <unistd.h>

using namespace nimbrel;

TEST(MonitorWithPm2, aNewConnectionIsUseButAHeldOneIsNot)
{
    test::TestEnvironment env;
    Store store(env.settingsFile());
    store.setValue(StoreKey::pm2Path, test::currentPm2);
    test::startApp("visited");
    test::startApp("left-open");
    const Instant earlier = now() - Seconds(2 * 3600);
    store.setLastActive({{"visited", earlier}, {"left-open", earlier}});
    Monitor monitor(store);
    int applies = 0;
    QObject::connect(&monitor, &Monitor::lastRefreshChanged, [&] { ++applies; });
    const auto refresh = [&] {
        const int target = applies + 1;
        monitor.refresh();
        return QTest::qWaitFor([&] { return applies >= target; }, 60'000);
    };
    const auto row = [&](const QString &name) {
        const auto found =
            std::ranges::find(monitor.rows(), name, [](auto &r) { return r.app.name; });
        return found == monitor.rows().end() ? ServerRow{} : *found;
    };
    ASSERT_TRUE(refresh());
    ASSERT_EQ(row("visited").ports.size(), 1);
    ASSERT_EQ(row("left-open").ports.size(), 1);
    EXPECT_GT(row("visited").memoryBytes, 10'000'000);

    // A browser tab kept open: connected before the second refresh, still there at the third.
    const int held = test::connectToLoopback(row("left-open").ports.front());
    ASSERT_TRUE(refresh());
    EXPECT_EQ(row("left-open").connections, 1);
    const std::optional<Instant> heldSince = row("left-open").lastActive;

    const int visit = test::connectToLoopback(row("visited").ports.front());
    ASSERT_TRUE(refresh());
    ::close(held);
    ::close(visit);
    EXPECT_EQ(row("visited").connections, 1);
    EXPECT_EQ(row("visited").lastActive, monitor.lastRefresh());
    EXPECT_EQ(row("left-open").connections, 1);
    EXPECT_EQ(row("left-open").lastActive, heldSince);
    EXPECT_EQ(store.lastActive().value("visited"), *monitor.lastRefresh());
}
