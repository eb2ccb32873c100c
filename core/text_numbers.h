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

} // namespace nimbrel
