// Wall-clock instants and durations as the program stores them: seconds since 1970 as doubles;
// and the steady clock's instants that its intervals are measured with.
#pragma once

#include <chrono>

namespace nimbrel {

using Seconds = std::chrono::duration<double>;
using Instant = std::chrono::time_point<std::chrono::system_clock, Seconds>;

inline Instant instantFromEpochSeconds(double seconds)
{
    return Instant{Seconds{seconds}};
}

inline double epochSeconds(Instant instant)
{
    return instant.time_since_epoch().count();
}

inline Instant now()
{
    return std::chrono::time_point_cast<Seconds>(std::chrono::system_clock::now());
}

// For intervals: a clock that setting the wall time (NTP, a resume, another system's idea of the
// hour) cannot move. Never stored: it starts again at each boot.
using SteadyInstant = std::chrono::time_point<std::chrono::steady_clock, Seconds>;

inline SteadyInstant steadyNow()
{
    return std::chrono::time_point_cast<Seconds>(std::chrono::steady_clock::now());
}

} // namespace nimbrel
