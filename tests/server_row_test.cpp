// The order of the rows, with the intransitive CPU tolerance, and the derived values.
#include "app/monitor.h"

#include <gtest/gtest.h>

using namespace nimbrel;

namespace {

ServerRow row(const char *name, bool running, double cpu, int64_t megabytes)
{
    ServerRow r;
    r.app = {.name = QString::fromUtf8(name),
             .status = running ? PM2App::Status::online : PM2App::Status::stopped};
    r.cpuPercent = cpu;
    r.memoryBytes = megabytes << 20;
    return r;
}

QStringList names(const QList<ServerRow> &rows)
{
    QStringList result;
    for (const ServerRow &r : rows)
        result.append(r.app.name);
    return result;
}

} // namespace

TEST(ServerRowOrder, runningFirstThenHeaviestThenByName)
{
    struct Case
    {
        const char *label;
        QList<ServerRow> rows;
        SortKey key;
        QStringList expected;
    };
    const Case cases[] = {
        {"a small running app before a big stopped one",
         {row("big", false, 0, 900), row("small", true, 0, 10)},
         SortKey::memory,
         {"small", "big"}},
        {"CPU within the tolerance: memory decides",
         {row("a", true, 12.0, 1), row("b", true, 12.04, 2)},
         SortKey::cpu,
         {"b", "a"}},
        {"CPU apart by the tolerance",
         {row("a", true, 12.0, 2), row("b", true, 12.05, 1)},
         SortKey::cpu,
         {"b", "a"}},
        {"CPU and memory tied: name",
         {row("b", true, 1.0, 1), row("a", true, 1.02, 1)},
         SortKey::cpu,
         {"a", "b"}},
        {"memory key ignores CPU",
         {row("a", true, 90, 1), row("b", true, 1, 2)},
         SortKey::memory,
         {"b", "a"}},
        {"stopped apps by name only, upper case first",
         {row("beta", false, 0, 5), row("Alpha", false, 0, 1)},
         SortKey::memory,
         {"Alpha", "beta"}},
        {"launching counts as running",
         {row("stopped", false, 0, 9),
          [] {
              ServerRow r = row("launching", true, 0, 1);
              r.app.status = PM2App::Status::launching;
              return r;
          }()},
         SortKey::memory,
         {"launching", "stopped"}},
    };
    for (const Case &c : cases) {
        QList<ServerRow> rows = c.rows;
        sortRows(rows, c.key);
        EXPECT_EQ(names(rows), c.expected) << c.label;
    }
}

TEST(ServerRowOrder, equalNamesKeepTheirOrderAndIntransitiveRowsStaySorted)
{
    ServerRow first = row("same", false, 0, 1);
    ServerRow second = row("same", false, 0, 2);
    QList<ServerRow> rows{first, second, row("a", false, 0, 0)};
    sortRows(rows, SortKey::cpu);
    EXPECT_EQ(rows[1], first);
    EXPECT_EQ(rows[2], second);

    // 12.00 > 12.04 by memory, 12.04 > 12.08 by memory, 12.08 > 12.00 by CPU: a cycle.
    const QList<ServerRow> cycle{row("x", true, 12.00, 3), row("y", true, 12.04, 2),
                                 row("z", true, 12.08, 1)};
    for (int rotation = 0; rotation < 3; ++rotation) {
        QList<ServerRow> sorted = cycle.mid(rotation) + cycle.mid(0, rotation);
        sortRows(sorted, SortKey::cpu);
        QStringList sortedNames = names(sorted);
        std::sort(sortedNames.begin(), sortedNames.end());
        EXPECT_EQ(sortedNames, (QStringList{"x", "y", "z"})); // a permutation, nothing lost
    }
}

TEST(ServerRow, urlCountsAndKeys)
{
    ServerRow web = row("web", true, 0, 10);
    web.ports = {3000, 5173};
    EXPECT_EQ(web.url(), QUrl("http://localhost:3000"));
    EXPECT_EQ(row("none", true, 0, 1).url(), std::nullopt);

    ServerRow launching = row("l", true, 0, 1);
    launching.app.status = PM2App::Status::launching;
    const QList<ServerRow> rows{web, launching, row("stopped", false, 0, 7)};
    EXPECT_EQ(runningCount(rows), 2);
    EXPECT_EQ(totalMemory(rows), (10 + 1 + 7) << 20);
    EXPECT_EQ(runningCount({}), 0);
    EXPECT_EQ(totalMemory({}), 0);
    ServerRow huge = row("huge", true, 0, 1);
    huge.memoryBytes = std::numeric_limits<int64_t>::max();
    EXPECT_EQ(totalMemory({huge, huge}), std::numeric_limits<int64_t>::max()); // saturates
}
