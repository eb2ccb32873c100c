// Turns the bytes a dev server printed into lines of styled text: SGR colours and bold are kept,
// every other escape sequence is dropped, and whatever cannot be shown as it is is made readable.
#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QString>

#include <cstdint>

namespace nimbrel {

struct SgrColor
{
    enum class Kind : uint8_t { none, indexed, rgb };
    Kind kind = Kind::none;
    uint32_t value = 0; // the palette index (0..255) or 0xRRGGBB

    static SgrColor indexed(int index) { return {Kind::indexed, uint32_t(index)}; }
    static SgrColor rgb(uint32_t rgb) { return {Kind::rgb, rgb}; }
    bool isSet() const { return kind != Kind::none; }
    bool operator==(const SgrColor &) const = default;
};

// 0xRRGGBB of a palette index of 16..255 (the 6x6x6 cube and the grey ramp); the first 16 are
// left to the view, which picks tones readable on its own ground.
uint32_t rgbOfIndex(int index);

struct TextStyle
{
    SgrColor foreground{};
    SgrColor background{};
    bool bold = false;
    bool operator==(const TextStyle &) const = default;
};

struct StyledRun
{
    QString text;
    TextStyle style{};
    bool operator==(const StyledRun &) const = default;
};

struct StyledLine
{
    QList<StyledRun> runs;
    bool isError = false; // from the err log
    bool cut = false;     // longer than the decoder keeps; the rest up to the newline is gone
    QString text() const;
    bool operator==(const StyledLine &) const = default;
};

// One stream's decoder. Bytes may arrive in any pieces: a sequence or a UTF-8 character split
// between two pieces is put together again. The style carries over from line to line, as in a
// terminal.
class AnsiDecoder
{
public:
    // A line longer than this many bytes is cut there and marked; memory stays bounded however
    // long a line without a newline grows.
    static constexpr qsizetype maxLineBytes = 16 * 1024;

    explicit AnsiDecoder(bool isError = false) : isError_(isError) {}

    // The lines completed by `bytes`.
    QList<StyledLine> feed(QByteArrayView bytes);
    // The unfinished last line, if any (the end of a file that does not end with a newline).
    QList<StyledLine> finish();

private:
    StyledLine decodeLine(QByteArrayView line, bool cut);

    bool isError_;
    QByteArray pending_;
    bool skippingRest_ = false; // after a cut, until the next newline
    TextStyle style_{};
};

// SGR parameters ("1;38;5;208") applied to `style`.
void applySgr(TextStyle &style, QByteArrayView parameters);

} // namespace nimbrel
