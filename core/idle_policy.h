// Whether an app did real work between two refreshes, and whether it is to be stopped now.
// Pure: every instant comes from the caller, never from a clock.
#pragma once

#include "core/instant.h"
#include "core/pm2_app.h"

#include <QSet>
#include <QString>

#include <cstdint>
#include <optional>

namespace nimbrel {

// One app at one refresh.
struct ActivitySample
{
    SteadyInstant at{};      // the snapshot's steadyAt
    double cpuSeconds = 0;   // running CPU total of the whole process tree
    int64_t connections = 0; // established connections on the app's listening ports

    bool operator==(const ActivitySample &) const = default;
};

namespace IdlePolicy {

// 2% of one core on average: 1.2 CPU seconds over the usual 60-second refresh.
inline constexpr double busyRatio = 0.02;

// Busy when the tree used at least `busyRatio` CPU seconds per second, when its CPU total fell
// (processes replaced), or when its connection count rose. A browser tab that only holds its
// connection open is not use. No positive interval (the same instant): not busy.
bool wasBusy(const ActivitySample &previous, const ActivitySample &current, double busyRatio);

// Only an online, unpinned app with a known last-active time at least `idleLimit` seconds
// before `now` is stopped.
bool shouldStop(const PM2App &app, std::optional<Instant> lastActive, Instant now, double idleLimit,
                const QSet<QString> &pinned);

} // namespace IdlePolicy

} // namespace nimbrel
