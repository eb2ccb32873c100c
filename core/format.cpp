#include "core/format.h"

#include <charconv>
#include <cmath>

namespace nimbrel::Format {

namespace {

// printf's "%.Nf" rounding, but never the locale's decimal mark (a German locale writes "1,50").
QString fixed(double value, int decimals)
{
    char buffer[64];
    const auto [end, error] =
        std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, decimals);
    if (error != std::errc())
        return QStringLiteral("?");
    return QString::fromLatin1(buffer, end - buffer);
}

} // namespace

QString memory(int64_t bytes)
{
    const double megabytes = double(bytes) / 1024 / 1024;
    if (megabytes >= 1024)
        return fixed(megabytes / 1024, 2) + QStringLiteral("GB");
    return fixed(megabytes, 0) + QStringLiteral("MB");
}

QString elapsed(Instant since, Instant now)
{
    const double interval = (now - since).count();
    // Cut toward zero; a negative or unreadable interval counts 0, an absurd one is capped.
    const int64_t s = interval > 0 ? int64_t(std::min(interval, 9.0e15)) : 0;
    const int64_t days = s / 86400;
    const int64_t hours = s % 86400 / 3600;
    const int64_t minutes = s % 3600 / 60;
    if (s < 3600)
        return QString::number(minutes) + QStringLiteral("分");
    if (s < 86400)
        return QString::number(hours) + QStringLiteral("時間");
    if (hours == 0)
        return QString::number(days) + QStringLiteral("日");
    return QString::number(days) + QStringLiteral("日と") + QString::number(hours) +
           QStringLiteral("時間");
}

} // namespace nimbrel::Format
