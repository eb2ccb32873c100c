// Strict readings of numbers in tool output: what ps, lsof and netstat print, nothing looser.
#pragma once

#include <QStringView>

#include <cstdint>
#include <optional>

namespace nimbrel {

// An optional "+" or "-" and ASCII digits only; nothing when anything else is there or the
// value does not fit in 64 bits.
std::optional<int64_t> strictInteger(QStringView text);

// An optional sign, ASCII digits and at most one full stop, with at least one digit ("05.67",
// ".5", "12"). Nothing for anything else, exponents and "inf" included.
std::optional<double> strictDecimal(QStringView text);

// a + b, held at the largest or smallest value instead of wrapping: memory sums of absurd input
// must never turn negative.
inline int64_t saturatingAdd(int64_t a, int64_t b)
{
    int64_t sum = 0;
    if (__builtin_add_overflow(a, b, &sum))
        return b > 0 ? INT64_MAX : INT64_MIN;
    return sum;
}

} // namespace nimbrel
