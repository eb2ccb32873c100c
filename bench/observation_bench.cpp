// The parsers and tree walks of one refresh at the scale of a busy machine (5,000 processes,
// 100 pm2 apps), the search filter over a full panel, and a whole snapshot from /proc against
// the one from its tools, also with 5,000 real processes beside a few real server trees.
#include "app/system/shell.h"
#include "app/system/system_probe.h"
#include "bench/support/sleepers.h"
#include "core/port_probe.h"
#include "core/process_tree.h"
#include "core/search_filter.h"

#include <QFile>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <csignal>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

using namespace nimbrel;

namespace {

constexpr int processCount = 5000;
constexpr int appCount = 100;

// 100 app trees of 50 processes each: a root under pid 1 and a chain of helpers below it.
QString psTable()
{
    QString text = QStringLiteral("    PID    PPID   RSS     TIME COMMAND\n");
    for (int i = 0; i < processCount; ++i) {
        const int pid = 1000 + i;
        const int ppid = i % 50 == 0 ? 1 : pid - 1 - (i % 3 == 0 ? 1 : 0);
        text += QStringLiteral("%1 %2 %3 %4:%5:%6 /usr/local/bin/node /home/dev/app%7/node_modules/"
                               ".bin/vite --port %8 --host 127.0.0.1\n")
                    .arg(pid, 7)
                    .arg(ppid, 7)
                    .arg(20000 + i * 7, 5)
                    .arg(i % 24, 2, 10, QChar(u'0'))
                    .arg(i % 60, 2, 10, QChar(u'0'))
                    .arg(i % 60, 2, 10, QChar(u'0'))
                    .arg(i / 50)
                    .arg(3000 + i);
    }
    return text;
}

QString lsofListing()
{
    QString text = QStringLiteral("COMMAND   PID USER   FD   TYPE DEVICE SIZE/OFF NODE NAME\n");
    for (int i = 0; i < processCount; ++i)
        text +=
            QStringLiteral("node    %1 dev   %2u  IPv4  %3      0t0  TCP 127.0.0.1:%4 (LISTEN)\n")
                .arg(1000 + i)
                .arg(20 + i % 10)
                .arg(48000 + i)
                .arg(3000 + i);
    return text;
}

QString netstatTable()
{
    QString text = QStringLiteral(
        "Active Internet connections (servers and established)\n"
        "Proto Recv-Q Send-Q Local Address           Foreign Address         State\n");
    for (int i = 0; i < processCount; ++i)
        text +=
            QStringLiteral("tcp        0      0 127.0.0.1:%1          127.0.0.1:%2         %3\n")
                .arg(3000 + i % 200)
                .arg(40000 + i)
                .arg(i % 4 == 0 ? QStringLiteral("TIME_WAIT") : QStringLiteral("ESTABLISHED"));
    return text;
}

void parsePs(benchmark::State &state)
{
    const QString text = psTable();
    for (auto _ : state)
        benchmark::DoNotOptimize(ProcessTree::parse(text));
}
BENCHMARK(parsePs)->Name("ProcessTree.parse 5000 processes")->Unit(benchmark::kMillisecond);

void parseLsof(benchmark::State &state)
{
    const QString text = lsofListing();
    for (auto _ : state)
        benchmark::DoNotOptimize(PortProbe::listeningPorts(text));
}
BENCHMARK(parseLsof)->Name("PortProbe.listeningPorts 5000 lines")->Unit(benchmark::kMillisecond);

void parseNetstat(benchmark::State &state)
{
    const QString text = netstatTable();
    for (auto _ : state)
        benchmark::DoNotOptimize(PortProbe::establishedCounts(text));
}
BENCHMARK(parseNetstat)
    ->Name("PortProbe.establishedCounts 5000 lines")
    ->Unit(benchmark::kMillisecond);

// As the functions stand: each call builds its own indexes of the whole table.
void treesPerCall(benchmark::State &state)
{
    const QList<ProcessRow> rows = ProcessTree::parse(psTable());
    for (auto _ : state) {
        for (int app = 0; app < appCount; ++app) {
            benchmark::DoNotOptimize(ProcessTree::members(1000 + app * 50, rows));
            benchmark::DoNotOptimize(ProcessTree::usage(1000 + app * 50, rows));
        }
    }
}
BENCHMARK(treesPerCall)
    ->Name("members+usage 100 apps, indexes per call")
    ->Unit(benchmark::kMillisecond);

// As the monitor asks: the indexes built once per snapshot.
void treesSharedIndex(benchmark::State &state)
{
    const QList<ProcessRow> rows = ProcessTree::parse(psTable());
    for (auto _ : state) {
        const ProcessTree::Index index(rows);
        for (int app = 0; app < appCount; ++app) {
            benchmark::DoNotOptimize(index.members(1000 + app * 50));
            benchmark::DoNotOptimize(index.usage(1000 + app * 50));
        }
    }
}
BENCHMARK(treesSharedIndex)
    ->Name("members+usage 100 apps, one index")
    ->Unit(benchmark::kMillisecond);

void searchRows(benchmark::State &state)
{
    QList<std::pair<QString, QList<int64_t>>> rows;
    for (int i = 0; i < appCount; ++i)
        rows.append({QStringLiteral("project-%1-frontend").arg(i), {3000 + i, 4000 + i}});
    const QString query = QStringLiteral("ＰＲＯＪＥＣＴ　30");
    for (auto _ : state) {
        int shown = 0;
        for (const auto &[name, ports] : rows)
            shown += SearchFilter::matches(query, name, ports);
        benchmark::DoNotOptimize(shown);
    }
}
BENCHMARK(searchRows)->Name("SearchFilter.matches 100 rows")->Unit(benchmark::kMicrosecond);

void snapshot(benchmark::State &state)
{
    for (auto _ : state)
        benchmark::DoNotOptimize(SystemProbe::snapshot());
}
BENCHMARK(snapshot)->Name("SystemProbe.snapshot")->Unit(benchmark::kMillisecond)->UseRealTime();

void snapshotFromTools(benchmark::State &state)
{
    const SystemProbe::Tools tools = SystemProbe::locateTools();
    for (auto _ : state)
        benchmark::DoNotOptimize(SystemProbe::snapshot(tools));
}
BENCHMARK(snapshotFromTools)
    ->Name("SystemProbe.snapshot from the tools")
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// `count` development servers of a parent and a forked child, both listening (the tree server
// of the integration tests), ended by pid.
class ServerTrees
{
public:
    explicit ServerTrees(int count) : dir_(QStringLiteral("/tmp/nb-trees-XXXXXX"))
    {
        for (int i = 0; i < count; ++i) {
            const QString ports = dir_.filePath(QString::number(i));
            const Shell::Result started =
                Shell::run(QStringLiteral("/bin/sh"),
                           {QStringLiteral("-c"),
                            QStringLiteral("PORTS_FILE='%1' node '%2' >/dev/null 2>&1 & echo $!")
                                .arg(ports, QStringLiteral(NIMBREL_TREE_SERVER))},
                           std::nullopt, 10);
            roots.append(started.output.trimmed().toLongLong());
            QFile file(ports);
            for (int wait = 0; wait < 200 && file.size() == 0; ++wait)
                ::usleep(50'000);
            if (file.open(QIODevice::ReadOnly))
                children_.append(file.readAll().trimmed().split(' ').value(2).toLongLong());
        }
    }
    ~ServerTrees()
    {
        for (const QList<int64_t> &pids : {children_, roots}) {
            for (const int64_t pid : pids) {
                if (pid > 0)
                    ::kill(pid_t(pid), SIGKILL);
            }
        }
    }

    QList<int64_t> roots;

private:
    QTemporaryDir dir_;
    QList<int64_t> children_;
};

// The machine: `range(0)` sleeping processes and 10 server trees. range(1) = 1: only the trees,
// as a refresh reads them; 0: every process.
void procSnapshotAtScale(benchmark::State &state)
{
    const bench::Sleepers sleepers(int(state.range(0)));
    const ServerTrees trees(10);
    const std::optional<QList<int64_t>> roots =
        state.range(1) ? std::optional(trees.roots) : std::nullopt;
    qsizetype processes = 0, listening = 0;
    for (auto _ : state) {
        const std::optional<SystemSnapshot> snapshot =
            SystemProbe::procSnapshot(QStringLiteral("/proc"), roots);
        processes = snapshot->processes.size();
        listening = snapshot->listeningPorts.size();
    }
    state.counters["processes"] = double(processes);
    state.counters["listening_pids"] = double(listening);
}
BENCHMARK(procSnapshotAtScale)
    ->Name("SystemProbe.procSnapshot with sleeping children, all/trees")
    ->Args({5000, 0})
    ->Args({5000, 1})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// The same three tools run from a shell with their output thrown away.
void toolsFromShell(benchmark::State &state)
{
    const SystemProbe::Tools tools = SystemProbe::locateTools();
    const QString script =
        QStringLiteral("%1 -Ao pid,ppid,rss,time,args >/dev/null; "
                       "%2 -nP -iTCP -sTCP:LISTEN >/dev/null; %3 -ant >/dev/null")
            .arg(tools.ps, tools.lsof, tools.netstat);
    for (auto _ : state)
        benchmark::DoNotOptimize(Shell::run(QStringLiteral("/bin/sh"),
                                            {QStringLiteral("-c"), script}, std::nullopt, 60));
}
BENCHMARK(toolsFromShell)
    ->Name("ps; lsof; netstat from sh")
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

} // namespace

BENCHMARK_MAIN();
