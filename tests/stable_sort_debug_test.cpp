// The tolerant sort under libstdc++'s debug mode, which checks every container access and
// aborts on the misuse of std algorithms. No GoogleTest here: its library is built without
// debug mode, and mixing the two is not allowed.
#include "core/stable_sort.h"

#include <cstdio>
#include <random>
#include <vector>

namespace {

struct Row
{
    double cpu;
    int megabytes;
    int id;
};

// The rows' CPU order: a tolerance of 0.05 points, then memory.
bool cpuOrder(const Row &a, const Row &b)
{
    if (std::abs(a.cpu - b.cpu) >= 0.05)
        return a.cpu > b.cpu;
    return a.megabytes > b.megabytes;
}

bool isPermutation(std::vector<Row> rows, int count)
{
    std::vector<int> seen(size_t(count), 0);
    for (const Row &row : rows) {
        if (row.id < 0 || row.id >= count || seen[size_t(row.id)]++)
            return false;
    }
    return rows.size() == size_t(count);
}

} // namespace

int main()
{
    int failures = 0;
    std::vector<Row> cycle{{12.00, 3, 0}, {12.04, 2, 1}, {12.08, 1, 2}};
    nimbrel::tolerantStableSort(cycle.begin(), cycle.end(), cpuOrder);
    failures += !isPermutation(cycle, 3);

    // Whatever the comparison answers, even at random, the sort ends in bounds.
    std::mt19937 random(12345);
    for (int round = 0; round < 200; ++round) {
        const int count = int(random() % 300);
        std::vector<Row> rows;
        for (int i = 0; i < count; ++i)
            rows.push_back({12.0 + double(random() % 20) / 100, int(random() % 5), i});
        nimbrel::tolerantStableSort(rows.begin(), rows.end(),
                                    [&](const Row &, const Row &) { return random() % 2 == 0; });
        failures += !isPermutation(rows, count);
        nimbrel::tolerantStableSort(rows.begin(), rows.end(), cpuOrder);
        failures += !isPermutation(rows, count);
    }

    // With a true strict weak order it is an ordinary stable sort.
    std::vector<Row> plain;
    for (int i = 0; i < 100; ++i)
        plain.push_back({0, i % 7, i});
    nimbrel::tolerantStableSort(plain.begin(), plain.end(), [](const Row &a, const Row &b) {
        return a.megabytes < b.megabytes;
    });
    for (size_t i = 1; i < plain.size(); ++i) {
        const Row &a = plain[i - 1];
        const Row &b = plain[i];
        failures += a.megabytes > b.megabytes || (a.megabytes == b.megabytes && a.id > b.id);
    }

    std::printf("%s\n",
                failures == 0 ? "tolerant stable sort: ok" : "tolerant stable sort: FAILED");
    return failures == 0 ? 0 : 1;
}
