// The short texts of memory amounts and durations that the panel shows.
#pragma once

#include "core/instant.h"

#include <QString>

#include <cstdint>

namespace nimbrel::Format {

// "150MB" under a gigabyte, else "1.50GB"; a full stop whatever the user's locale.
QString memory(int64_t bytes);
// The time from `since` to `now` in its largest units, rounded down: "5分", "3時間", "2日",
// "1日と4時間". A `since` after `now` reads "0分".
QString elapsed(Instant since, Instant now);

} // namespace nimbrel::Format
