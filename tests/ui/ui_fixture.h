// A monitor fed with chosen rows, and a panel or settings view on it, for widget tests on the
// offscreen platform.
#pragma once

#include "app/monitor.h"
#include "app/store.h"
#include "support/fake_pm2.h"
#include "support/test_environment.h"

#include <QWidget>

#include <gtest/gtest.h>

namespace nimbrel::test {

// The child widget of that object name, which the test expects to be there.
template <typename T> T *child(const QWidget &parent, const char *name)
{
    T *found = parent.findChild<T *>(QLatin1String(name));
    EXPECT_NE(found, nullptr) << name;
    return found;
}

struct AppOnScreen
{
    QString name;
    PM2App::Status status = PM2App::Status::online;
    int processes = 1;
    QList<int64_t> ports{};
    int64_t megabytes = 50;
};

class UiTest : public ::testing::Test
{
protected:
    TestEnvironment env;
    FakePm2 pm2{env};
    Store store{env.settingsFile()};
    Monitor monitor{store, [](const QList<int64_t> &) { return SystemSnapshot{.takenAt = now()}; }};

    void SetUp() override { store.setValue(StoreKey::pm2Path, FakePm2::path()); }

    // Publishes rows for these apps, as one refresh of the monitor would.
    void publish(const QList<AppOnScreen> &apps, Instant at = now())
    {
        QList<PM2App> list;
        SystemSnapshot snapshot;
        snapshot.takenAt = at;
        int64_t pid = 1000;
        for (const AppOnScreen &app : apps) {
            const int64_t root = pid;
            const bool running = app.status == PM2App::Status::online;
            list.append({.name = app.name,
                         .pid = running ? std::optional(root) : std::nullopt,
                         .status = app.status});
            for (int p = 0; p < app.processes; ++p, ++pid) {
                snapshot.processes.append({pid, p == 0 ? 1 : root, (app.megabytes - p) << 20, 1.0,
                                           QStringLiteral("/usr/bin/node server-%1.js").arg(p)});
            }
            for (const int64_t port : app.ports)
                snapshot.listeningPorts[root].insert(port);
        }
        monitor.apply(list, snapshot, PM2Client(QStringLiteral("/nonexistent/pm2")));
    }

    template <typename T> static T *child(const QWidget &parent, const char *name)
    {
        return test::child<T>(parent, name);
    }
};

} // namespace nimbrel::test
