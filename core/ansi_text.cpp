#include "core/ansi_text.h"

#include <QList>

namespace nimbrel {

namespace {

constexpr char escape = 0x1b;

bool isFinal(uchar byte)
{
    return byte >= 0x40 && byte <= 0x7e;
}
bool isParameter(uchar byte)
{
    return byte >= 0x30 && byte <= 0x3f;
}
bool isIntermediate(uchar byte)
{
    return byte >= 0x20 && byte <= 0x2f;
}

// Control characters shown as their visible pictures (U+2400 block): a NUL in a log is a fact
// worth seeing, and raw controls draw as nothing or upset the line.
void appendVisibleControl(QByteArray &bytes, uchar control)
{
    const char16_t picture = control == 0x7f ? u'\u2421' : char16_t(0x2400 + control);
    bytes += QString(QChar(picture)).toUtf8();
}

// The numbers of an SGR parameter list, an empty one being 0.
QList<int> numbersOf(QByteArrayView parameters, char separator)
{
    QList<int> numbers{0};
    for (const char c : parameters) {
        if (c == separator)
            numbers.append(0);
        else if (c >= '0' && c <= '9')
            numbers.back() = std::min(numbers.back() * 10 + (c - '0'), 100000);
    }
    return numbers;
}

// The colour of an extended colour parameter ("5;N" or "2;R;G;B" after 38 or 48), advancing `i`
// past what it used.
SgrColor extendedColor(const QList<int> &n, qsizetype &i)
{
    if (i + 2 < n.size() && n[i + 1] == 5) {
        i += 2;
        return n[i] <= 255 ? SgrColor::indexed(n[i]) : SgrColor{};
    }
    if (i + 4 < n.size() && n[i + 1] == 2) {
        const auto channel = [&](qsizetype at) { return uint32_t(std::min(n[at], 255)); };
        const SgrColor color =
            SgrColor::rgb(channel(i + 2) << 16 | channel(i + 3) << 8 | channel(i + 4));
        i += 4;
        return color;
    }
    i = n.size(); // malformed: the rest of the list cannot be read reliably
    return {};
}

// The colon form keeps one colour in one parameter ("38:2::R:G:B", the empty field being the
// colour space, or "38:5:N").
SgrColor colonColor(QByteArrayView group)
{
    QList<int> n = numbersOf(group, ':');
    if (n.size() == 6 && n[1] == 2)
        n.remove(2);
    qsizetype i = 0;
    return extendedColor(n, i);
}

// Where the escape sequence starting at `at` (an ESC) ends: the index after it, or the line's
// end when it is unterminated. Sets `sgr` to its parameters when it is an SGR sequence.
qsizetype skipEscape(QByteArrayView line, qsizetype at, std::optional<QByteArrayView> &sgr)
{
    const qsizetype size = line.size();
    qsizetype i = at + 1;
    if (i >= size)
        return size;
    const uchar kind = uchar(line[i]);
    if (kind == '[') {
        const qsizetype start = ++i;
        while (i < size && isParameter(uchar(line[i])))
            ++i;
        const qsizetype parametersEnd = i;
        while (i < size && isIntermediate(uchar(line[i])))
            ++i;
        if (i >= size)
            return size;
        if (!isFinal(uchar(line[i])))
            return i; // broken off: what follows is text again
        if (line[i] == 'm' && parametersEnd == i)
            sgr = line.sliced(start, parametersEnd - start);
        return i + 1;
    }
    if (kind == ']' || kind == 'P' || kind == 'X' || kind == '^' || kind == '_') {
        // Strings (titles, hyperlinks, device controls) end at BEL or ESC \.
        for (++i; i < size; ++i) {
            if (line[i] == '\a')
                return i + 1;
            if (line[i] == escape && i + 1 < size && line[i + 1] == '\\')
                return i + 2;
        }
        return size;
    }
    while (i < size && isIntermediate(uchar(line[i])))
        ++i;
    if (i < size && uchar(line[i]) >= 0x30 && uchar(line[i]) <= 0x7e)
        return i + 1;
    return i; // a lone ESC: dropped, the byte after it is text
}

} // namespace

uint32_t rgbOfIndex(int index)
{
    if (index >= 232) {
        const uint32_t grey = uint32_t(8 + (index - 232) * 10);
        return grey << 16 | grey << 8 | grey;
    }
    if (index < 16)
        return 0;
    const int cube = index - 16;
    const auto level = [](int step) { return uint32_t(step == 0 ? 0 : 55 + step * 40); };
    return level(cube / 36) << 16 | level(cube / 6 % 6) << 8 | level(cube % 6);
}

void applySgr(TextStyle &style, QByteArrayView parameters)
{
    QList<int> n;
    for (const QByteArrayView group : QByteArray(parameters.toByteArray()).split(';')) {
        if (!group.contains(':')) {
            n.append(numbersOf(group, ';'));
            continue;
        }
        const int code = numbersOf(group, ':').front();
        if (code == 38 || code == 48)
            (code == 38 ? style.foreground : style.background) = colonColor(group);
    }
    for (qsizetype i = 0; i < n.size(); ++i) {
        const int code = n[i];
        if (code == 0)
            style = {};
        else if (code == 1)
            style.bold = true;
        else if (code == 22)
            style.bold = false;
        else if (code >= 30 && code <= 37)
            style.foreground = SgrColor::indexed(code - 30);
        else if (code >= 90 && code <= 97)
            style.foreground = SgrColor::indexed(code - 90 + 8);
        else if (code == 39)
            style.foreground = {};
        else if (code >= 40 && code <= 47)
            style.background = SgrColor::indexed(code - 40);
        else if (code >= 100 && code <= 107)
            style.background = SgrColor::indexed(code - 100 + 8);
        else if (code == 49)
            style.background = {};
        else if (code == 38)
            style.foreground = extendedColor(n, i);
        else if (code == 48)
            style.background = extendedColor(n, i);
    }
}

QString StyledLine::text() const
{
    QString all;
    for (const StyledRun &run : runs)
        all += run.text;
    return all;
}

StyledLine AnsiDecoder::decodeLine(QByteArrayView line, bool cut)
{
    StyledLine result;
    result.isError = isError_;
    result.cut = cut;
    if (line.endsWith('\r'))
        line.chop(1);
    QByteArray segment;
    const auto flush = [&] {
        if (segment.isEmpty())
            return;
        // Invalid UTF-8 becomes replacement characters here.
        QString text = QString::fromUtf8(segment);
        segment.clear();
        if (!result.runs.isEmpty() && result.runs.back().style == style_)
            result.runs.back().text += text;
        else
            result.runs.append({std::move(text), style_});
    };
    for (qsizetype i = 0; i < line.size();) {
        const uchar byte = uchar(line[i]);
        if (byte == escape) {
            flush();
            std::optional<QByteArrayView> sgr;
            i = skipEscape(line, i, sgr);
            if (sgr)
                applySgr(style_, *sgr);
            continue;
        }
        if (byte == '\r') {
            // A progress line redrawn in place: the terminal shows only its last state.
            segment.clear();
            result.runs.clear();
        } else if ((byte < 0x20 && byte != '\t') || byte == 0x7f) {
            appendVisibleControl(segment, byte);
        } else {
            segment += char(byte);
        }
        ++i;
    }
    flush();
    return result;
}

QList<StyledLine> AnsiDecoder::feed(QByteArrayView bytes)
{
    QList<StyledLine> lines;
    while (!bytes.isEmpty()) {
        const qsizetype newline = bytes.indexOf('\n');
        const QByteArrayView piece = newline < 0 ? bytes : bytes.first(newline);
        bytes = newline < 0 ? QByteArrayView() : bytes.sliced(newline + 1);
        if (!skippingRest_) {
            const qsizetype room = maxLineBytes - pending_.size();
            pending_.append(piece.first(std::min(room, piece.size())));
            if (piece.size() > room) {
                // Cut at a character's start, so the cut leaves no half character behind.
                qsizetype end = pending_.size();
                while (end > 0 && (uchar(pending_[end - 1]) & 0xc0) == 0x80)
                    --end;
                if (end > 0 && uchar(pending_[end - 1]) >= 0xc0)
                    --end;
                lines.append(decodeLine(QByteArrayView(pending_).first(end), true));
                pending_.clear();
                skippingRest_ = true;
            }
        }
        if (newline < 0)
            break;
        if (!skippingRest_)
            lines.append(decodeLine(pending_, false));
        pending_.clear();
        skippingRest_ = false;
    }
    return lines;
}

QList<StyledLine> AnsiDecoder::finish()
{
    QList<StyledLine> lines;
    if (!pending_.isEmpty())
        lines.append(decodeLine(pending_, false));
    pending_.clear();
    skippingRest_ = false;
    return lines;
}

} // namespace nimbrel
