// The busy test and the stop decision, from the situations they exist for.
#include "core/idle_policy.h"

#include <gtest/gtest.h>

using namespace nimbrel;

static const Instant t0 = instantFromEpochSeconds(1'800'000'000);

TEST(IdlePolicy, wasBusy)
{
    const auto sample = [](double at, double cpu, int64_t n) {
        return ActivitySample{SteadyInstant(Seconds(at)), cpu, n};
    };
    const std::tuple<const char *, ActivitySample, ActivitySample, bool> cases[] = {
        {"same instant", sample(0, 0, 0), sample(0, 50, 9), false},
        {"2% of a core exactly", sample(0, 100, 3), sample(50, 101, 3), true},
        {"just under 2%, connections held", sample(0, 100, 3), sample(50, 100.99, 3), false},
        {"CPU total fell: processes replaced", sample(0, 500, 0), sample(60, 2, 0), true},
        {"a new connection", sample(0, 1, 3), sample(60, 1, 4), true},
        {"hours of sleep dilute the CPU", sample(0, 0, 1), sample(8 * 3600, 60, 1), false},
        {"NaN CPU, a new connection", sample(0, NAN, 1), sample(60, 5, 2), true},
        {"NaN CPU, no new connection", sample(0, NAN, 1), sample(60, 5, 1), false},
    };
    for (const auto &[label, previous, current, busy] : cases)
        EXPECT_EQ(IdlePolicy::wasBusy(previous, current, IdlePolicy::busyRatio), busy) << label;
}

TEST(IdlePolicy, shouldStop)
{
    const double day = 24 * 3600;
    using S = PM2App::Status;
    const std::tuple<const char *, S, std::optional<double>, bool> cases[] = {
        {"web", S::online, day, true}, // idle exactly the limit
        {"web", S::online, day - 1, false},     {"web", S::online, std::nullopt, false},
        {"pinned", S::online, 10 * day, false}, {"Pinned", S::online, 10 * day, true},
        {"web", S::launching, 10 * day, false}, {"web", S::stopped, 10 * day, false},
    };
    for (const auto &[name, status, idleFor, stop] : cases) {
        const PM2App app{.name = QString::fromUtf8(name), .status = status};
        const auto lastActive = idleFor ? std::optional(t0 - Seconds(*idleFor)) : std::nullopt;
        EXPECT_EQ(IdlePolicy::shouldStop(app, lastActive, t0, day, {"pinned"}), stop)
            << name << int(status);
    }
}
