#include "core/log_tail.h"

#include <QDateTime>

#include <array>
#include <limits>

namespace nimbrel::LogTail {

namespace {

// The date and time fields a format's tokens read, with the zone offset when one is given.
struct Fields
{
    int year = 1970, month = 1, day = 1, hour = 0, minute = 0, second = 0, millisecond = 0;
    bool pm = false, twelveHour = false;
    int offsetSeconds = 0;
};

// Reads `min`..`max` digits at `at`; nothing when fewer than `min` are there.
std::optional<int> digits(QStringView text, qsizetype &at, int min, int max)
{
    int value = 0, count = 0;
    while (count < max && at < text.size() && text[at].isDigit()) {
        value = value * 10 + text[at].digitValue();
        ++at;
        ++count;
    }
    if (count < min)
        return std::nullopt;
    return value;
}

std::optional<int> monthByName(QStringView text, qsizetype &at)
{
    static const std::array<QStringView, 12> names{u"jan", u"feb", u"mar", u"apr", u"may", u"jun",
                                                   u"jul", u"aug", u"sep", u"oct", u"nov", u"dec"};
    const qsizetype start = at;
    while (at < text.size() && text[at].isLetter())
        ++at;
    const QStringView word = text.sliced(start, at - start);
    for (size_t i = 0; i < names.size(); ++i)
        if (word.size() >= 3 && word.first(3).compare(names[i], Qt::CaseInsensitive) == 0)
            return int(i) + 1;
    return std::nullopt;
}

std::optional<int> zoneOffset(QStringView text, qsizetype &at, bool colon)
{
    if (at < text.size() && text[at] == u'Z') {
        ++at;
        return 0;
    }
    if (at >= text.size() || (text[at] != u'+' && text[at] != u'-'))
        return std::nullopt;
    const int sign = text[at++] == u'-' ? -1 : 1;
    const auto hours = digits(text, at, 2, 2);
    if (colon && at < text.size() && text[at] == u':')
        ++at;
    const auto minutes = digits(text, at, 2, 2);
    if (!hours || !minutes)
        return std::nullopt;
    return sign * (*hours * 3600 + *minutes * 60);
}

// The longest token of the format at `at`, as dayjs reads its formats.
QStringView tokenAt(QStringView format, qsizetype at)
{
    static const std::array<QStringView, 22> tokens{
        u"YYYY", u"MMMM", u"dddd", u"SSS", u"MMM", u"ddd", u"YY", u"MM", u"DD", u"HH", u"hh",
        u"mm",   u"ss",   u"ZZ",   u"dd",  u"M",   u"D",   u"H",  u"h",  u"m",  u"s",  u"Z"};
    for (const QStringView token : tokens)
        if (format.sliced(at).startsWith(token))
            return token;
    return {};
}

bool readToken(QStringView token, QStringView text, qsizetype &at, Fields &f)
{
    const auto set = [&](int &field, int min, int max) {
        const auto value = digits(text, at, min, max);
        if (value)
            field = *value;
        return value.has_value();
    };
    if (token == u"YYYY")
        return set(f.year, 4, 4);
    if (token == u"YY") {
        const bool ok = set(f.year, 2, 2);
        f.year += 2000;
        return ok;
    }
    if (token == u"MMMM" || token == u"MMM") {
        const auto month = monthByName(text, at);
        f.month = month.value_or(1);
        return month.has_value();
    }
    if (token == u"dddd" || token == u"ddd" || token == u"dd") {
        const qsizetype start = at;
        while (at < text.size() && text[at].isLetter())
            ++at;
        return at > start;
    }
    if (token == u"Z" || token == u"ZZ") {
        const auto offset = zoneOffset(text, at, token == u"Z");
        f.offsetSeconds = offset.value_or(0);
        return offset.has_value();
    }
    if (token == u"SSS")
        return set(f.millisecond, 3, 3);
    const int width = token.size() == 2 ? 2 : 1;
    const int max = 2;
    if (token.startsWith(u'M'))
        return set(f.month, width, max);
    if (token.startsWith(u'D'))
        return set(f.day, width, max);
    if (token.startsWith(u'H'))
        return set(f.hour, width, max);
    if (token.startsWith(u'h')) {
        f.twelveHour = true;
        return set(f.hour, width, max);
    }
    if (token.startsWith(u'm'))
        return set(f.minute, width, max);
    return set(f.second, width, max);
}

} // namespace

qsizetype startOfLastLines(QByteArrayView block, int count, bool blockIsFileStart)
{
    qsizetype end = block.size();
    if (end > 0 && block[end - 1] == '\n')
        --end; // the final newline ends the last line; it does not begin another
    int found = 0;
    for (qsizetype i = end - 1; i >= 0; --i) {
        if (block[i] == '\n' && ++found == count)
            return i + 1;
    }
    if (blockIsFileStart)
        return 0;
    const qsizetype firstNewline = block.indexOf('\n');
    return firstNewline >= 0 && firstNewline < end ? firstNewline + 1 : 0;
}

std::optional<int64_t> timestampOf(QStringView line, QStringView format)
{
    if (format.isEmpty())
        return std::nullopt;
    Fields f;
    qsizetype at = 0;
    for (qsizetype i = 0; i < format.size();) {
        if (format[i] == u'[') { // a literal in brackets
            const qsizetype close = format.indexOf(u']', i);
            const QStringView literal =
                format.sliced(i + 1, (close < 0 ? format.size() : close) - i - 1);
            if (!line.sliced(at).startsWith(literal))
                return std::nullopt;
            at += literal.size();
            i = close < 0 ? format.size() : close + 1;
            continue;
        }
        if (const QStringView token = tokenAt(format, i); !token.isEmpty()) {
            if (!readToken(token, line, at, f))
                return std::nullopt;
            i += token.size();
            continue;
        }
        if (format[i] == u'A' || format[i] == u'a') {
            const QStringView rest = line.sliced(at);
            if (!rest.startsWith(u"AM", Qt::CaseInsensitive) &&
                !rest.startsWith(u"PM", Qt::CaseInsensitive))
                return std::nullopt;
            f.pm = rest.startsWith(u"PM", Qt::CaseInsensitive);
            at += 2;
            ++i;
            continue;
        }
        if (at >= line.size() || line[at] != format[i])
            return std::nullopt;
        ++at;
        ++i;
    }
    if (f.twelveHour)
        f.hour = f.hour % 12 + (f.pm ? 12 : 0);
    const QDate date(f.year, f.month, f.day);
    const QTime time(f.hour, f.minute, f.second, f.millisecond);
    if (!date.isValid() || !time.isValid())
        return std::nullopt;
    return QDateTime(date, time, Qt::UTC).toMSecsSinceEpoch() - int64_t(f.offsetSeconds) * 1000;
}

QList<StyledLine> interleave(QList<StyledLine> out, QList<StyledLine> err,
                             std::optional<QStringView> format)
{
    const auto keysOf = [&](const QList<StyledLine> &lines, bool &anyTime) {
        QList<int64_t> keys;
        keys.reserve(lines.size());
        int64_t last = std::numeric_limits<int64_t>::min();
        for (const StyledLine &line : lines) {
            if (const auto time = timestampOf(line.text(), *format)) {
                last = *time;
                anyTime = true;
            }
            keys.append(last);
        }
        return keys;
    };
    if (!format || format->isEmpty()) {
        out.append(std::move(err));
        return out;
    }
    bool anyTime = false;
    const QList<int64_t> outKeys = keysOf(out, anyTime);
    const QList<int64_t> errKeys = keysOf(err, anyTime);
    if (!anyTime) {
        out.append(std::move(err));
        return out;
    }
    QList<StyledLine> merged;
    merged.reserve(out.size() + err.size());
    qsizetype o = 0, e = 0;
    while (o < out.size() || e < err.size()) {
        if (e >= err.size() || (o < out.size() && outKeys[o] <= errKeys[e]))
            merged.append(std::move(out[o++]));
        else
            merged.append(std::move(err[e++]));
    }
    return merged;
}

} // namespace nimbrel::LogTail
