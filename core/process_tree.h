// The process table of `ps -Ao pid,ppid,rss,time,args` and the trees of processes in it.
#pragma once

#include <QHash>
#include <QList>
#include <QSet>
#include <QString>
#include <QStringView>

#include <cstdint>
#include <vector>

namespace nimbrel {

struct ProcessRow
{
    int64_t pid = 0;
    int64_t ppid = 0;
    int64_t residentBytes = 0;
    double cpuSeconds = 0;
    QString command{};     // empty when ps printed no command
    double cpuPercent = 0; // of one core, since the previous refresh (the monitor's to fill)

    int64_t id() const { return pid; }
    // At most three words of the command, paths cut to their last part, at most 42 characters:
    // "/usr/local/bin/node /srv/app/server.js --port 3000" reads "node server.js --port".
    QString label() const;

    bool operator==(const ProcessRow &) const = default;
};

namespace ProcessTree {

struct Usage
{
    int64_t residentBytes = 0;
    double cpuSeconds = 0;
    QSet<int64_t> pids{};

    qsizetype processCount() const { return pids.size(); }
    // The usage of an empty tree: an unknown root, or an app without a process.
    static const Usage &zero();

    bool operator==(const Usage &) const = default;
};

// Rows in the order of the output. Lines whose pid, ppid or rss is not an integer are skipped,
// and so is an rss too large to count in bytes.
QList<ProcessRow> parse(QStringView text);

// Seconds of a ps TIME value: "12:34.56", "01:02:03", "1-02:03:04". Unreadable parts count 0.
double parseCPUTime(QStringView text);

// The rows of the tree rooted at `rootPID` (root included), largest resident memory first.
QList<ProcessRow> members(int64_t rootPID, const QList<ProcessRow> &rows);
// The summed memory, CPU time and pids of that same tree; Usage::zero() for an unknown root.
Usage usage(int64_t rootPID, const QList<ProcessRow> &rows);

// The indexes `members` and `usage` build from the rows, built once for many trees of one table
// (the monitor asks for every app of a snapshot). Same answers as the functions above.
class Index
{
public:
    explicit Index(QList<ProcessRow> rows);

    QList<ProcessRow> members(int64_t rootPID) const;
    Usage usage(int64_t rootPID) const;

private:
    // Row positions of the tree in walk order.
    std::vector<qsizetype> walk(int64_t rootPID, QSet<int64_t> *visited) const;

    QList<ProcessRow> rows_; // a shared copy: an index may outlive the table it was built from
    QHash<int64_t, std::vector<qsizetype>> children_;
    QHash<int64_t, qsizetype> byPid_;
};

} // namespace ProcessTree

} // namespace nimbrel
