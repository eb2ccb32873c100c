// Wall-clock instants and durations as the program stores them: seconds since 1970 as doubles.
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

} // namespace nimbrel
