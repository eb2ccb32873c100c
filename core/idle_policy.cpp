#include "core/idle_policy.h"

namespace nimbrel::IdlePolicy {

bool wasBusy(const ActivitySample &previous, const ActivitySample &current, double busyRatio)
{
    const double interval = (current.at - previous.at).count();
    if (!(interval > 0))
        return false;
    const double delta = current.cpuSeconds - previous.cpuSeconds;
    if (delta < 0)
        return true;
    if (delta / interval >= busyRatio)
        return true;
    return current.connections > previous.connections;
}

bool shouldStop(const PM2App &app, std::optional<Instant> lastActive, Instant now, double idleLimit,
                const QSet<QString> &pinned)
{
    if (app.status != PM2App::Status::online || pinned.contains(app.name) || !lastActive)
        return false;
    return (now - *lastActive).count() >= idleLimit;
}

} // namespace nimbrel::IdlePolicy
