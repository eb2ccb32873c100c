// The parsers and tree walks of one refresh at the scale of a busy machine (5,000 processes,
// 100 pm2 apps), the search filter over a full panel, and a whole snapshot from /proc against
// the one from its tools, also with 5,000 real processes.
#include "app/shell.h"
#include "app/system_probe.h"
#include "core/port_probe.h"
#include "core/process_tree.h"
#include "core/search_filter.h"

#include <benchmark/benchmark.h>

#include <csignal>
#include <spawn.h>
#include <sys/wait.h>
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

// `count` sleeping processes for as long as it lives, each ended by its pid.
class Sleepers
{
public:
    explicit Sleepers(int count)
    {
        char sleep[] = "sleep", seconds[] = "600";
        char *arguments[] = {sleep, seconds, nullptr};
        for (int i = 0; i < count; ++i) {
            pid_t pid = 0;
            if (posix_spawn(&pid, "/bin/sleep", nullptr, nullptr, arguments, environ) == 0)
                pids_.push_back(pid);
        }
    }
    ~Sleepers()
    {
        for (const pid_t pid : pids_)
            ::kill(pid, SIGKILL);
        for (const pid_t pid : pids_)
            ::waitpid(pid, nullptr, 0);
    }

private:
    std::vector<pid_t> pids_;
};

void procSnapshotAtScale(benchmark::State &state)
{
    const Sleepers sleepers(int(state.range(0)));
    qsizetype processes = 0;
    for (auto _ : state)
        processes = SystemProbe::procSnapshot()->processes.size();
    state.counters["processes"] = double(processes);
}
BENCHMARK(procSnapshotAtScale)
    ->Name("SystemProbe.procSnapshot with sleeping children")
    ->Arg(5000)
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
