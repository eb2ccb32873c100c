#include "core/text_numbers.h"

#include <charconv>

namespace nimbrel {

namespace {

bool isDigit(QChar c)
{
    return c >= u'0' && c <= u'9';
}

// The sign split off, so that from_chars (which rejects "+") reads the rest.
bool takeSign(QStringView &text)
{
    const bool negative = text.startsWith(u'-');
    if (negative || text.startsWith(u'+'))
        text = text.sliced(1);
    return negative;
}

} // namespace

std::optional<int64_t> strictInteger(QStringView text)
{
    const bool negative = takeSign(text);
    if (text.isEmpty())
        return std::nullopt;
    while (text.size() > 1 && text.front() == u'0')
        text = text.sliced(1);
    if (text.size() > 19)
        return std::nullopt;
    uint64_t magnitude = 0;
    for (const QChar c : text) {
        if (!isDigit(c))
            return std::nullopt;
        magnitude = magnitude * 10 + (c.unicode() - u'0');
    }
    constexpr uint64_t maxPositive = uint64_t(INT64_MAX);
    if (magnitude > maxPositive + (negative ? 1 : 0))
        return std::nullopt;
    return negative ? int64_t(0 - magnitude) : int64_t(magnitude);
}

std::optional<double> strictDecimal(QStringView text)
{
    const bool negative = takeSign(text);
    char ascii[64];
    if (text.isEmpty() || text.size() >= qsizetype(sizeof ascii))
        return std::nullopt;
    bool digit = false;
    bool point = false;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text[i];
        if (isDigit(c))
            digit = true;
        else if (c == u'.' && !point)
            point = true;
        else
            return std::nullopt;
        ascii[i] = char(c.unicode());
    }
    if (!digit)
        return std::nullopt;
    double value = 0;
    const auto [end, error] = std::from_chars(ascii, ascii + text.size(), value);
    if (error != std::errc() || end != ascii + text.size())
        return std::nullopt;
    return negative ? -value : value;
}

} // namespace nimbrel
