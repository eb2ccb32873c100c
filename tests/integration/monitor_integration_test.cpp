// The monitor against real pm2, real node servers, real connections and the real tools.
#include "app/monitor.h"
#include "support/pm2_sandbox.h"
#include "support/test_environment.h"

#include <QTest>

#include <gtest/gtest.h>

#include <unistd.h>

using namespace nimbrel;
using Status = PM2App::Status;

namespace {

class MonitorWithPm2 : public ::testing::Test
{
protected:
    test::TestEnvironment env;
    test::Pm2Sandbox pm2{env.pm2Home()};
    Store store{env.settingsFile()};
    std::unique_ptr<Monitor> monitor;
    int applies = 0;
    std::vector<int> sockets;

    void SetUp() override
    {
        store.setValue(StoreKey::pm2Path, test::currentPm2);
        monitor = std::make_unique<Monitor>(store);
        QObject::connect(monitor.get(), &Monitor::lastRefreshChanged, [this] { ++applies; });
    }
    void TearDown() override
    {
        for (const int fd : sockets)
            ::close(fd);
    }
    void refresh(int count = 1)
    {
        const int target = applies + count;
        monitor->refresh();
        ASSERT_TRUE(QTest::qWaitFor([&] { return applies >= target; }, 60'000));
    }
    const ServerRow *rowOf(const QString &name)
    {
        for (const ServerRow &row : monitor->rows()) {
            if (row.app.name == name)
                return &row;
        }
        return nullptr;
    }
};

} // namespace

TEST_F(MonitorWithPm2, theFirstRefreshStopsAForgottenServerButNotAPinnedOne)
{
    pm2.startApp("forgotten");
    pm2.startApp("kept");
    const Instant longAgo = now() - Seconds(25 * 3600);
    store.setLastActive({{"forgotten", longAgo}, {"kept", longAgo}});
    store.setPinned({"kept"});

    refresh(2); // the apply that decides, then the one after the stop
    ASSERT_TRUE(monitor->lastAutoStop());
    EXPECT_EQ(monitor->lastAutoStop()->names, QStringList{"forgotten"});
    EXPECT_EQ(pm2.statusOf("forgotten"), Status::stopped);
    EXPECT_EQ(pm2.statusOf("kept"), Status::online);
    ASSERT_TRUE(rowOf("forgotten"));
    EXPECT_EQ(rowOf("forgotten")->app.status, Status::stopped);
    EXPECT_EQ(rowOf("forgotten")->lastActive, longAgo);
}

TEST_F(MonitorWithPm2, aNewConnectionIsUseButAHeldOneIsNot)
{
    pm2.startApp("visited");
    pm2.startApp("left-open");
    const Instant earlier = now() - Seconds(2 * 3600);
    store.setLastActive({{"visited", earlier}, {"left-open", earlier}});
    refresh();
    ASSERT_TRUE(rowOf("visited") && rowOf("left-open"));
    ASSERT_EQ(rowOf("visited")->ports.size(), 1);
    ASSERT_EQ(rowOf("left-open")->ports.size(), 1);
    EXPECT_GT(rowOf("visited")->memoryBytes, 10'000'000);

    // A browser tab kept open: connected before the first refresh, still there at the second.
    sockets.push_back(test::connectToLoopback(rowOf("left-open")->ports.front()));
    refresh();
    EXPECT_EQ(rowOf("left-open")->connections, 1);
    const std::optional<Instant> heldSince = rowOf("left-open")->lastActive;

    sockets.push_back(test::connectToLoopback(rowOf("visited")->ports.front()));
    refresh();
    EXPECT_EQ(rowOf("visited")->connections, 1);
    EXPECT_EQ(rowOf("visited")->lastActive, monitor->lastRefresh());
    EXPECT_EQ(rowOf("left-open")->connections, 1);
    EXPECT_EQ(rowOf("left-open")->lastActive, heldSince);
    EXPECT_EQ(store.lastActive().value("visited"), *monitor->lastRefresh());
}
