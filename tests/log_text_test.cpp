// The log window's text: escape sequences to styled runs, bad bytes made readable, the tail's
// start, pm2's times before lines and out and err joined.
#include "core/ansi_text.h"
#include "core/log_tail.h"

#include <QDateTime>

#include <gtest/gtest.h>

#include <string_view>

using namespace nimbrel;
using namespace std::literals;

namespace {

using C = SgrColor;

// Runs written as "text|fg|bg|bold", joined by "/", for compact expectations.
QString describe(const StyledLine &line)
{
    const auto color = [](const C &c) {
        return c.kind == C::Kind::none      ? QStringLiteral("-")
               : c.kind == C::Kind::indexed ? QString::number(c.value)
                                            : u'#' + QString::number(c.value, 16);
    };
    QStringList runs;
    for (const StyledRun &run : line.runs)
        runs.append(run.text + u'|' + color(run.style.foreground) + u'|' +
                    color(run.style.background) + QLatin1String(run.style.bold ? "|b" : ""));
    return runs.join(u'/') + QLatin1String(line.cut ? " [cut]" : "");
}

} // namespace

TEST(AnsiDecoder, drawsSgrAndDropsEveryOtherSequence)
{
    const std::pair<std::string_view, const char *> cases[] = {
        {"plain", "plain|-|-"},
        {"\x1b[32mok\x1b[0m done", "ok|2|-/ done|-|-"},
        {"\x1b[1;91mE\x1b[22mx\x1b[39m", "E|9|-|b/x|9|-"},
        {"\x1b[38;5;208ma\x1b[48;5;21mb\x1b[m", "a|208|-/b|208|21"},
        {"\x1b[38;2;255;128;0mt\x1b[38:2::1:2:3mu", "t|#ff8000|-/u|#10203|-"},
        {"\x1b[44;97mx\x1b[49;39my", "x|15|4/y|-|-"},
        {"\x1b[38;5mx\x1b[38;2;1mz", "xz|-|-"},      // malformed extended colours
        {"a\x1b[2Kb\x1b[1Gc\x1b[?25ld", "abcd|-|-"}, // erase, cursor, modes
        {"\x1b]0;title\x07t\x1b]8;;http://x\x1b\\link", "tlink|-|-"},
        {"a\x1b(Bb\x1b"
         "7c\x1b=d",
         "abcd|-|-"},
        {"a\x1b[31", "a|-|-"},           // unterminated CSI
        {"a\x1b]0;never ends", "a|-|-"}, // unterminated string
        {"a\x1b", "a|-|-"},
        {"a\x1b[3\x01"
         "1mb",
         "a\u24011mb|-|-"}, // broken off: the rest is text
        {"n\x00ul\x7f\tt"sv, "n\u2400ul\u2421\tt|-|-"},
        {"bad \xff\xc3(", "bad \ufffd\ufffd(|-|-"},
        {"50%\r100%\r\n", "100%|-|-"},
    };
    for (const auto &[input, expected] : cases) {
        AnsiDecoder decoder;
        QList<StyledLine> lines = decoder.feed(QByteArrayView(input.data(), input.size()));
        lines += decoder.finish();
        ASSERT_EQ(lines.size(), 1) << input;
        EXPECT_EQ(describe(lines[0]), QString::fromUtf8(expected)) << input;
    }
}

TEST(AnsiDecoder, putsPiecesTogetherCutsLongLinesAndCarriesTheStyle)
{
    const QByteArray stream = "\x1b[3"
                              "1mred\n"
                              "still \xe3\x83\xad"
                              "\x1b[0m\n" +
                              QByteArray(1 << 20, 'x') + "\nafter\ntail";
    for (const qsizetype piece : {qsizetype(1), qsizetype(7), stream.size()}) {
        AnsiDecoder decoder(true);
        QList<StyledLine> lines;
        for (qsizetype at = 0; at < stream.size(); at += piece)
            lines += decoder.feed(
                QByteArrayView(stream).sliced(at, std::min(piece, stream.size() - at)));
        lines += decoder.finish();
        ASSERT_EQ(lines.size(), 5) << piece;
        EXPECT_EQ(describe(lines[0]), "red|1|-");
        EXPECT_EQ(describe(lines[1]), QString::fromUtf8("still ロ|1|-"));
        EXPECT_TRUE(lines[2].cut);
        EXPECT_EQ(lines[2].text().size(), AnsiDecoder::maxLineBytes);
        EXPECT_EQ(describe(lines[3]), "after|-|-");
        EXPECT_EQ(describe(lines[4]), "tail|-|-");
        EXPECT_TRUE(lines[4].isError);
    }
    // NUL bytes inside a line are no line ends.
    AnsiDecoder decoder;
    EXPECT_EQ(decoder.feed(QByteArray("a\0b\n", 4)).front().text(), QString::fromUtf8("a\u2400b"));
    EXPECT_EQ(rgbOfIndex(16), 0u);
    EXPECT_EQ(rgbOfIndex(196), 0xff0000u);
    EXPECT_EQ(rgbOfIndex(244), 0x808080u);
}

TEST(LogTail, findsTheLastLinesAndReadsPM2sTimes)
{
    // Block, lines wanted, whether it is the file's start; the text from the start found.
    const std::tuple<const char *, int, bool, const char *> tails[] = {
        {"a\nb\nc\n", 2, true, "b\nc\n"}, {"a\nb\nc", 2, true, "b\nc"},
        {"a\nb\n", 5, true, "a\nb\n"},    {"iece\nb\n", 5, false, "b\n"},
        {"endless", 5, false, "endless"}, {"", 3, true, ""},
    };
    for (const auto &[block, count, start, expected] : tails) {
        const QByteArrayView view(block);
        EXPECT_EQ(view.sliced(LogTail::startOfLastLines(view, count, start)), expected) << block;
    }
    const auto at = [](const char *iso) {
        return QDateTime::fromString(QLatin1String(iso), Qt::ISODateWithMs).toMSecsSinceEpoch();
    };
    const std::tuple<const char *, const char *, std::optional<int64_t>> times[] = {
        {"2024-05-01 12:00:01: hi", "YYYY-MM-DD HH:mm:ss", at("2024-05-01T12:00:01Z")},
        {"2024-05-01T12:00:01.250+02:00: x", "YYYY-MM-DDTHH:mm:ss.SSSZ",
         at("2024-05-01T10:00:01.250Z")},
        {"[01/May/24 3:04 PM] x", "[[]DD/MMM/YY h:mm A]", at("2024-05-01T15:04:00Z")},
        {"2024-13-01 00:00:00", "YYYY-MM-DD HH:mm:ss", std::nullopt},
        {"hello", "YYYY", std::nullopt},
        {"12:00", "", std::nullopt},
    };
    for (const auto &[line, format, expected] : times)
        EXPECT_EQ(LogTail::timestampOf(QString::fromUtf8(line), QString::fromUtf8(format)),
                  expected)
            << line;
}

TEST(LogTail, interleavesByTimeOnlyWhereTimesAreWritten)
{
    const auto lines = [](std::initializer_list<const char *> texts, bool error) {
        QList<StyledLine> list;
        for (const char *text : texts)
            list.append({{{QString::fromUtf8(text)}}, error});
        return list;
    };
    const auto texts = [](const QList<StyledLine> &list) {
        QStringList all;
        for (const StyledLine &line : list)
            all.append(line.text());
        return all.join(u',');
    };
    const auto out = lines({"10:00:01: a", "  more", "10:00:03: b"}, false);
    const auto err = lines({"10:00:02: E", "10:00:03: F"}, true);
    EXPECT_EQ(texts(LogTail::interleave(out, err, u"HH:mm:ss")),
              "10:00:01: a,  more,10:00:02: E,10:00:03: b,10:00:03: F");
    EXPECT_EQ(texts(LogTail::interleave(out, err, std::nullopt)),
              "10:00:01: a,  more,10:00:03: b,10:00:02: E,10:00:03: F");
    EXPECT_EQ(texts(LogTail::interleave(out, err, u"YYYY")),
              "10:00:01: a,  more,10:00:03: b,10:00:02: E,10:00:03: F");
}
