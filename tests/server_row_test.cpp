// The order of the rows, with its intransitive CPU tolerance, and the values derived from rows.
#include "app/server_row.h"
#include "core/stable_sort.h"

#include <gtest/gtest.h>

#include <numeric>
#include <random>
#include <ranges>

using namespace nimbrel;

static ServerRow row(const char *name, bool running, double cpu, int64_t megabytes)
{
    const auto status = running ? PM2App::Status::online : PM2App::Status::stopped;
    return {
        .app = {.name = name, .status = status}, .memoryBytes = megabytes << 20, .cpuPercent = cpu};
}

static QStringList sortedNames(QList<ServerRow> rows, SortKey key)
{
    sortRows(rows, key);
    const auto names = std::views::transform(rows, [](const ServerRow &r) { return r.app.name; });
    return {names.begin(), names.end()};
}

TEST(ServerRowOrder, runningFirstThenHeaviestThenByNameAndTheTotals)
{
    // Two rows in either order: which comes first.
    const std::tuple<SortKey, ServerRow, ServerRow, const char *> cases[] = {
        {SortKey::memory, row("big", false, 0, 900), row("small", true, 0, 10), "small"},
        {SortKey::cpu, row("a", true, 12.0, 1), row("b", true, 12.04, 2), "b"}, // within tolerance
        {SortKey::cpu, row("a", true, 12.0, 2), row("b", true, 12.05, 1), "b"}, // just outside
        {SortKey::cpu, row("b", true, 1.0, 1), row("a", true, 1.02, 1), "a"},
        {SortKey::memory, row("a", true, 90, 1), row("b", true, 1, 2), "b"},
        {SortKey::memory, row("beta", false, 0, 5), row("Alpha", false, 0, 1), "Alpha"},
    };
    for (const auto &[key, a, b, first] : cases) {
        EXPECT_EQ(sortedNames({a, b}, key).front(), first);
        EXPECT_EQ(sortedNames({b, a}, key).front(), first);
    }
    // Names equal once composed are equal rows, and keep their order.
    EXPECT_EQ(sortedNames(
                  {row("e\u0301", false, 0, 0), row("\u00e9", false, 0, 0), row("a", false, 0, 0)},
                  SortKey::memory),
              (QStringList{"a", "e\u0301", "\u00e9"}));
    // The totals count launching as running, and saturate.
    const ServerRow launching{.app = {.status = PM2App::Status::launching}, .memoryBytes = 1 << 20};
    const ServerRow huge{.memoryBytes = std::numeric_limits<int64_t>::max()};
    EXPECT_EQ(runningCount({launching, row("s", false, 0, 7)}), 1);
    EXPECT_EQ(totalMemory({launching, row("s", false, 0, 7)}), 8 << 20);
    EXPECT_EQ(totalMemory({huge, huge}), std::numeric_limits<int64_t>::max());
}

TEST(ServerRowOrder, anyAnswersOfTheComparisonLeaveAPermutation)
{
    // 12.00 > 12.04 by memory, 12.04 > 12.08 by memory, 12.08 > 12.00 by CPU: a cycle.
    QStringList names =
        sortedNames({row("x", true, 12.00, 3), row("y", true, 12.04, 2), row("z", true, 12.08, 1)},
                    SortKey::cpu);
    names.sort();
    EXPECT_EQ(names, (QStringList{"x", "y", "z"}));
    // Random answers stay in bounds (the sanitizers and assertions watch) and lose nothing.
    std::mt19937 random(12345);
    for (int count = 0; count < 300; count += 13) {
        std::vector<int> values(static_cast<size_t>(count));
        std::iota(values.begin(), values.end(), 0);
        const std::vector<int> all = values;
        tolerantStableSort(values.begin(), values.end(), [&](int, int) { return random() % 2; });
        tolerantStableSort(values.begin(), values.end(), std::less<>());
        EXPECT_EQ(values, all) << count;
    }
}
