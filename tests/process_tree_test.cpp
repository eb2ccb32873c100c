// The process table: captured Linux ps output, the BSD forms of TIME, broken lines, and trees
// that loop.
#include "core/process_tree.h"
#include "support/test_environment.h"

#include <gtest/gtest.h>

#include <limits>

using namespace nimbrel;

namespace nimbrel {
// Readable failures: the rows, not their bytes.
void PrintTo(const ProcessRow &row, std::ostream *out)
{
    *out << "{" << row.pid << ", " << row.ppid << ", " << row.residentBytes << ", "
         << row.cpuSeconds << ", \"" << row.command.toStdString() << "\"}";
}
} // namespace nimbrel

namespace {

QString fixture(const char *name)
{
    return QString::fromUtf8(
        test::readFile(QStringLiteral(NIMBREL_FIXTURES "/") + QLatin1String(name)));
}

ProcessRow row(int64_t pid, int64_t ppid, int64_t kib, QString command = QStringLiteral("x"))
{
    return {
        .pid = pid, .ppid = ppid, .residentBytes = kib * 1024, .cpuSeconds = 1, .command = command};
}

QList<int64_t> pidsOf(const QList<ProcessRow> &rows)
{
    QList<int64_t> pids;
    for (const ProcessRow &r : rows)
        pids.append(r.pid);
    return pids;
}

} // namespace

TEST(ProcessTreeParse, readsCapturedLinuxPs)
{
    const QList<ProcessRow> rows = ProcessTree::parse(fixture("ps_linux.txt"));
    ASSERT_EQ(rows.size(), 15);
    EXPECT_EQ(rows[0], (ProcessRow{2, 0, 0, 0.0, QStringLiteral("[kthreadd]")}));
    EXPECT_EQ(rows[8], (ProcessRow{1215, 1, 1124 * 1024, 86400 + 2 * 3600 + 3 * 60 + 4,
                                   QStringLiteral("/usr/sbin/sshd -D")}));
    EXPECT_EQ(rows[13],
              (ProcessRow{19204, 19196, 43852 * 1024, 0.0,
                          QStringLiteral("/usr/bin/node /home/dev/shop/server.js child")}));
    EXPECT_EQ(rows[7].cpuSeconds, 3.0);

    const ProcessTree::Usage server = ProcessTree::usage(19196, rows);
    EXPECT_EQ(server.pids, (QSet<int64_t>{19196, 19204}));
    EXPECT_EQ(server.residentBytes, (44244 + 43852) * 1024);
    EXPECT_EQ(pidsOf(ProcessTree::members(19191, rows)),
              (QList<int64_t>{19196, 19204, 19254, 19191, 19192}));
}

TEST(ProcessTreeParse, linesItCannotReadAreSkipped)
{
    struct Case
    {
        const char *label;
        QString text;
        QList<ProcessRow> rows;
    };
    const QString header = QStringLiteral("  PID  PPID   RSS     TIME COMMAND\n");
    const Case cases[] = {
        {"empty", QString(), {}},
        {"header only", header, {}},
        {"no header: the first line is never data", QStringLiteral("1 0 4 0:01.00 init\n"), {}},
        {"four fields: empty command",
         header + QStringLiteral("  7  1  2048  0:00.00\n"),
         {{7, 1, 2097152, 0.0, QString()}}},
        {"inner spaces kept, ends trimmed",
         header + QStringLiteral("7 1 1 1:00 node  a.js   --x \t\n"),
         {{7, 1, 1024, 60.0, QStringLiteral("node  a.js   --x")}}},
        {"an error line among the rows",
         header + QStringLiteral("ps: warning: bad\n7 1 1 0:00 a\nx 1 1 0:00 b\n8 y 1 0:00 c\n"
                                 "9 1 1.5 0:00 d\n10 1 1 0:00 e\n"),
         {{7, 1, 1024, 0.0, QStringLiteral("a")}, {10, 1, 1024, 0.0, QStringLiteral("e")}}},
        {"three fields", header + QStringLiteral("7 1 1\n"), {}},
        {"rss too large to count in bytes",
         header + QStringLiteral("7 1 9007199254740993 0:00 a\n8 1 99999999999999999999 0:00 b\n"),
         {}},
        {"cut short by a time limit",
         header + QStringLiteral("7 1 1 0:00 a\n8 1 1"),
         {{7, 1, 1024, 0.0, QStringLiteral("a")}}},
        {"blank lines",
         header + QStringLiteral("\n\n7 1 1 0:00 a\n\n"),
         {{7, 1, 1024, 0.0, QStringLiteral("a")}}},
    };
    for (const Case &c : cases)
        EXPECT_EQ(ProcessTree::parse(c.text), c.rows) << c.label;
}

TEST(ProcessTreeParse, cpuTimeInEveryFormPsPrints)
{
    const std::pair<const char *, double> cases[] = {
        {"12:34.56", 754.56}, // BSD: minutes, seconds with a fraction
        {"123:45.67", 123 * 60 + 45.67},
        {"01:02:03", 3723},    // Linux: hours, minutes, seconds
        {"1-02:03:04", 93784}, // Linux: days
        {"5", 5},
        {"1:2:3:4", ((1 * 60 + 2) * 60 + 3) * 60 + 4},
        {"", 0},
        {"::", 0},
        {"abc", 0},
        {"x-1:00", 60},
        {"2-", 2 * 86400},
        {"1:xx:30", 3630},
        {"1e3", 0},
        {"inf", 0},
        {"1:1:1:1:1:1:1:1:1:1:1:1:1:1:1:1:1:1:1:1:1:1:1:1:1:1:1:1:1:1:1:1:1:1:1:1:1:1:1:1:1:1:1:1:"
         "1:1:1:1:"
         "1:1:1:1:1:1:1:1:1:1:1:1:1:1:1:1:1:1:1:1:1:1:1:1:1:1:1:1:1:1:1:1:1:1:1:1:1:1:1:1:1:1:1:1:"
         "1:1:1:1:"
         "1:1:1:1:1:1:1:1:1:1:1:1:1:1:1:1:1:1:1:1:1:1:1:1:1:1:1:1:1:1:1:1:1:1:1:1:1:1:1:1:1:1:1:1:"
         "1:1:1:1:"
         "1:1:1:1:1:1:1:1:1:1:1:1:1:1:1:1:1:1:1:1:1:1:1:1:1:1:1:1:1:1:1:1:1:1:1:1:1:1:1:1:1:1:1:1:"
         "1:1:1:1",
         0}, // folds past any double: no CPU time is infinite
    };
    for (const auto &[text, seconds] : cases)
        EXPECT_DOUBLE_EQ(ProcessTree::parseCPUTime(QString::fromLatin1(text)), seconds) << text;
}

TEST(ProcessTreeWalk, treesFinishOnLoopsAndCountEachPidOnce)
{
    struct Case
    {
        const char *label;
        QList<ProcessRow> rows;
        int64_t root;
        QList<int64_t> members;
    };
    const Case cases[] = {
        {"unknown root", {row(1, 0, 1)}, 99, {}},
        {"no children", {row(1, 0, 1), row(2, 0, 1)}, 1, {1}},
        {"own parent", {row(5, 5, 1), row(6, 5, 2)}, 5, {6, 5}},
        {"loop of parents", {row(1, 3, 1), row(2, 1, 2), row(3, 2, 3)}, 1, {3, 2, 1}},
        {"duplicate pid: the later row stands for it, counted once",
         {row(1, 0, 1), row(2, 1, 5), row(2, 1, 7)},
         1,
         {2, 1}},
        {"equal sizes keep walk order: the later child first",
         {row(1, 0, 9), row(2, 1, 4), row(3, 1, 4), row(4, 2, 4)},
         1,
         {1, 3, 2, 4}},
    };
    for (const Case &c : cases) {
        const QList<ProcessRow> members = ProcessTree::members(c.root, c.rows);
        const ProcessTree::Usage usage = ProcessTree::usage(c.root, c.rows);
        EXPECT_EQ(pidsOf(members), c.members) << c.label;
        EXPECT_EQ(usage.pids, QSet<int64_t>(c.members.begin(), c.members.end())) << c.label;
        int64_t bytes = 0;
        for (const ProcessRow &r : members)
            bytes += r.residentBytes;
        EXPECT_EQ(usage.residentBytes, bytes) << c.label;
        EXPECT_EQ(usage.cpuSeconds, double(members.size())) << c.label;
    }
    EXPECT_EQ(ProcessTree::usage(99, {}), ProcessTree::Usage::zero());
    EXPECT_EQ(ProcessTree::Usage::zero().processCount(), 0);
}

TEST(ProcessTreeWalk, memorySumsSaturateAndAnIndexOutlivesItsTable)
{
    const int64_t huge = std::numeric_limits<int64_t>::max() / 1024;
    const QList<ProcessRow> rows{row(1, 0, huge), row(2, 1, huge)};
    EXPECT_EQ(ProcessTree::usage(1, rows).residentBytes, std::numeric_limits<int64_t>::max());
    // An index built from a temporary table keeps its own copy of the rows.
    const ProcessTree::Index index(QList<ProcessRow>{row(1, 0, 1), row(2, 1, 2)});
    EXPECT_EQ(index.usage(1).residentBytes, 3 << 10);
}

TEST(ProcessRowLabel, shortensCommandsForTheBreakdown)
{
    const std::pair<QString, QString> cases[] = {
        {"/usr/local/bin/node /Users/dev/app/server.js --port 3000", "node server.js --port"},
        {"", "(不明)"},
        {"    ", "(不明)"},
        {"/ foo", "foo"},
        {"./dist/ a b c d", "dist a b"},
        {"/ // /// ////", "(不明)"}, // nothing left to show is unknown, not blank
        {"/", "(不明)"},
        {"node", "node"},
        {"vite   --host", "vite --host"},
        {QString(42, u'a'), QString(42, u'a')},
        {QString(43, u'a'), QString(41, u'a') + QChar(0x2026)},
        {QString(50, u'字'), QString(41, u'字') + QChar(0x2026)},
    };
    for (const auto &[command, label] : cases)
        EXPECT_EQ(ProcessRow{.command = command}.label(), label) << command.toStdString();

    QString emoji;
    for (int i = 0; i < 45; ++i)
        emoji += QStringLiteral("👩‍💻"); // one user-perceived character of five UTF-16 units
    const QString label = ProcessRow{.command = emoji}.label();
    EXPECT_TRUE(label.endsWith(QChar(0x2026)));
    EXPECT_EQ(label, emoji.left(41 * 5) + QChar(0x2026));
}
