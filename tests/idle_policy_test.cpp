// The busy test and the stop decision, from the situations they exist for.
#include "core/idle_policy.h"

#include <gtest/gtest.h>

using namespace nimbrel;

namespace {

const Instant t0 = instantFromEpochSeconds(1'800'000'000);

ActivitySample sample(double at, double cpu, int64_t connections)
{
    return {t0 + Seconds(at), cpu, connections};
}

} // namespace

TEST(IdlePolicy, wasBusy)
{
    struct Case
    {
        const char *label;
        ActivitySample previous, current;
        bool busy;
    };
    const Case cases[] = {
        {"same instant, whatever changed", sample(0, 0, 0), sample(0, 50, 9), false},
        {"clock set back", sample(60, 0, 0), sample(0, 50, 9), false},
        {"2% of a core exactly", sample(0, 100, 3), sample(60, 101.2, 3), true},
        {"just under 2%, connections held", sample(0, 100, 3), sample(60, 101.1, 3), false},
        {"CPU total fell: processes replaced", sample(0, 500, 0), sample(60, 2, 0), true},
        {"a new connection", sample(0, 1, 3), sample(60, 1, 4), true},
        {"connections closed", sample(0, 1, 4), sample(60, 1, 0), false},
        {"nothing at all", sample(0, 1, 0), sample(60, 1, 0), false},
        {"hours of sleep dilute the CPU", sample(0, 0, 1), sample(8 * 3600, 60, 1), false},
        {"NaN CPU: decided by connections", sample(0, NAN, 1), sample(60, 5, 2), true},
        {"NaN CPU, no new connection", sample(0, NAN, 1), sample(60, 5, 1), false},
    };
    for (const Case &c : cases)
        EXPECT_EQ(IdlePolicy::wasBusy(c.previous, c.current, IdlePolicy::busyRatio), c.busy)
            << c.label;
}

TEST(IdlePolicy, shouldStop)
{
    const double day = 24 * 3600;
    const auto app = [](const char *name, PM2App::Status status) {
        return PM2App{.name = QString::fromUtf8(name), .status = status};
    };
    using S = PM2App::Status;
    struct Case
    {
        const char *label;
        PM2App app;
        std::optional<double> idleFor;
        bool stop;
    };
    const Case cases[] = {
        {"idle exactly the limit", app("web", S::online), day, true},
        {"a second less", app("web", S::online), day - 1, false},
        {"last active in the future", app("web", S::online), -60, false},
        {"no last-active time", app("web", S::online), std::nullopt, false},
        {"pinned", app("pinned", S::online), 10 * day, false},
        {"pinned name differs in case", app("Pinned", S::online), 10 * day, true},
        {"launching", app("web", S::launching), 10 * day, false},
        {"stopped", app("web", S::stopped), 10 * day, false},
        {"errored", app("web", S::errored), 10 * day, false},
    };
    for (const Case &c : cases) {
        const std::optional<Instant> lastActive =
            c.idleFor ? std::optional(t0 - Seconds(*c.idleFor)) : std::nullopt;
        EXPECT_EQ(IdlePolicy::shouldStop(c.app, lastActive, t0, day, {"pinned"}), c.stop)
            << c.label;
    }
}
