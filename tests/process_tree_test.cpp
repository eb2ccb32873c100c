// The process table: captured Linux ps output, the BSD forms of TIME, broken lines, trees that
// loop, and the short labels of commands.
#include "core/process_tree.h"
#include "support/test_environment.h"

#include <gtest/gtest.h>

#include <limits>
#include <ranges>

using namespace nimbrel;

static ProcessRow row(int64_t pid, int64_t ppid, int64_t kib)
{
    return {.pid = pid, .ppid = ppid, .residentBytes = kib * 1024, .cpuSeconds = 1};
}

static QList<int64_t> pidsOf(const QList<ProcessRow> &rows)
{
    const auto pids = std::views::transform(rows, &ProcessRow::pid);
    return {pids.begin(), pids.end()};
}

TEST(ProcessTreeParse, readsCapturedLinuxPsAndCpuTimeInEveryFormAndSkipsWhatItCannotRead)
{
    const QList<ProcessRow> rows =
        ProcessTree::parse(QString::fromUtf8(test::readFile(NIMBREL_FIXTURES "/ps_linux.txt")));
    ASSERT_EQ(rows.size(), 15);
    EXPECT_EQ(rows[0], (ProcessRow{2, 0, 0, 0.0, "[kthreadd]"}));
    EXPECT_EQ(rows[8], (ProcessRow{1215, 1, 1124 * 1024, 93784, "/usr/sbin/sshd -D"}));
    // Heaviest first.
    EXPECT_EQ(pidsOf(ProcessTree::members(19191, rows)),
              (QList<int64_t>{19196, 19204, 19254, 19191, 19192}));

    // Warnings, fields that are no integers, rss beyond bytes in 64 bits, lines cut short; a
    // command keeps its inner spaces, and may be missing.
    const QString hostile = QStringLiteral(
        "  PID  PPID   RSS     TIME COMMAND\nps: warning: bad\n\n7 1 1 1:00 node  a.js   --x \t\n"
        "x 1 1 0:00 b\n8 y 1 0:00 c\n9 1 1.5 0:00 d\n12 1 9007199254740993 0:00 f\n"
        "13 1 99999999999999999999 0:00 g\n\n10 1 2  0:00\n14 1 1");
    EXPECT_EQ(ProcessTree::parse(hostile),
              (QList<ProcessRow>{{7, 1, 1024, 60.0, "node  a.js   --x"}, {10, 1, 2048, 0.0, ""}}));

    // CPU time, BSD: minutes and seconds with a fraction; Linux: [days-]hours:minutes:seconds.
    const std::pair<const char *, double> cases[] = {
        {"12:34.56", 754.56},  {"123:45.67", 7425.67}, {"01:02:03", 3723},
        {"1-02:03:04", 93784}, {"1:2:3:4", 223384},    {"x-1:00", 60},
        {"2-", 172800},        {"1:xx:30", 3630},      {"5", 5}};
    for (const auto &[text, seconds] : cases)
        EXPECT_DOUBLE_EQ(ProcessTree::parseCPUTime(QString::fromLatin1(text)), seconds) << text;
    for (const char *text : {"::", "abc", "1e3", "inf"})
        EXPECT_EQ(ProcessTree::parseCPUTime(QString::fromLatin1(text)), 0.0) << text;
}

TEST(ProcessTreeWalk, treesFinishOnLoopsAndCountEachPidOnceAndLabelsAreShort)
{
    // Rows, root, members heaviest first, their KiB.
    const std::tuple<QList<ProcessRow>, int64_t, QList<int64_t>, int64_t> cases[] = {
        {{row(1, 0, 1)}, 99, {}, 0},
        {{row(5, 5, 1), row(6, 5, 2)}, 5, {6, 5}, 3},
        {{row(1, 3, 1), row(2, 1, 2), row(3, 2, 3)}, 1, {3, 2, 1}, 6},
        {{row(1, 0, 1), row(2, 1, 5), row(2, 1, 7)}, 1, {2, 1}, 8}, // the later row of a pid
        {{row(1, 0, 9), row(2, 1, 4), row(3, 1, 4), row(4, 2, 4)}, 1, {1, 3, 2, 4}, 21},
    };
    for (const auto &[rows, root, members, kib] : cases) {
        const ProcessTree::Usage usage = ProcessTree::usage(root, rows);
        EXPECT_EQ(pidsOf(ProcessTree::members(root, rows)), members) << root;
        EXPECT_EQ(usage.residentBytes, kib * 1024) << root;
        EXPECT_EQ(usage.cpuSeconds, double(members.size())) << root;
    }
    const int64_t huge = std::numeric_limits<int64_t>::max() / 1024;
    EXPECT_EQ(ProcessTree::usage(1, {row(1, 0, huge), row(2, 1, huge)}).residentBytes,
              std::numeric_limits<int64_t>::max()); // saturates
    // An index built from a temporary table keeps its own copy of the rows.
    const ProcessTree::Index index(QList<ProcessRow>{row(1, 0, 1), row(2, 1, 2)});
    EXPECT_EQ(index.usage(1).residentBytes, 3 << 10);

    // Labels: at most three words of the first four, paths cut to their last part, 42 characters;
    // of slashes only, as far as it looks, nothing.
    const std::pair<QString, QString> labels[] = {
        {"/usr/local/bin/node /Users/dev/app/server.js --port 3000", "node server.js --port"},
        {"    ", "(不明)"},
        {"./dist/ a b c d", "dist a b"},
        {"/ // /// //// e", "(不明)"},
        {"vite   --host", "vite --host"},
        {QString(42, u'a'), QString(42, u'a')},
        {QString(43, u'a'), QString(41, u'a') + QChar(0x2026)},
        {QStringLiteral("👩‍💻").repeated(45),
         QStringLiteral("👩‍💻").repeated(41) + QChar(0x2026)}};
    for (const auto &[command, label] : labels)
        EXPECT_EQ(ProcessRow{.command = command}.label(), label) << command.toStdString();
}
