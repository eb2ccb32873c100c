// The monitor's work per refresh: the main-thread apply at the size of a busy machine, and a
// whole refresh against real pm2 apps, beside the route through pm2's command line and the tools.
#include "app/monitor.h"
#include "app/system/shell.h"

#include <QCoreApplication>
#include <QFile>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <sys/resource.h>

using namespace nimbrel;

namespace {

struct Machine
{
    QList<PM2App> apps;
    SystemSnapshot snapshot;
};

// `appCount` apps, each the root of an equal share of `processCount` processes, each process
// listening on a port with a few connections.
Machine machine(int appCount, int processCount)
{
    Machine m;
    const int perApp = processCount / appCount;
    for (int a = 0; a < appCount; ++a) {
        const int64_t root = 10'000 + int64_t(a) * perApp;
        m.apps.append({.name = QStringLiteral("app-%1-web").arg(a),
                       .pmId = a,
                       .pid = root,
                       .status = a % 5 == 4 ? PM2App::Status::stopped : PM2App::Status::online});
        for (int p = 0; p < perApp; ++p) {
            const int64_t pid = root + p;
            m.snapshot.processes.append({pid, p == 0 ? 1 : pid - 1, (40 + p) << 20, 10.0 + p,
                                         QStringLiteral("/usr/bin/node /srv/app/server.js")});
            m.snapshot.listeningPorts[pid] = {3000 + pid % 20'000};
            m.snapshot.establishedCounts[3000 + pid % 20'000] = pid % 3;
        }
    }
    m.snapshot.takenAt = now();
    return m;
}

void apply(benchmark::State &state)
{
    QTemporaryDir dir;
    Store store(dir.path() + QStringLiteral("/Nimbrel.json"));
    Monitor monitor(store, [](const QList<int64_t> &) { return SystemSnapshot{}; });
    Machine m = machine(int(state.range(0)), int(state.range(1)));
    const PM2Client client(QStringLiteral("/nonexistent/pm2"));
    for (auto _ : state) {
        m.snapshot.takenAt += Seconds(60);
        m.snapshot.steadyAt += Seconds(60);
        monitor.apply(m.apps, m.snapshot, client);
    }
}
BENCHMARK(apply)
    ->Name("Monitor.apply")
    ->Args({20, 1000})
    ->Args({100, 5000})
    ->Unit(benchmark::kMillisecond);

double cpuMilliseconds(int who)
{
    rusage usage{};
    getrusage(who, &usage);
    return usage.ru_utime.tv_sec * 1e3 + usage.ru_utime.tv_usec / 1e3 +
           usage.ru_stime.tv_sec * 1e3 + usage.ru_stime.tv_usec / 1e3;
}

// A private pm2 with `count` idle servers, started in one go, for as long as the benchmark runs.
class RealPM2
{
public:
    explicit RealPM2(int count = 5) : dir_(QStringLiteral("/tmp/nb-bench-XXXXXX"))
    {
        qputenv("PM2_HOME", (dir_.path() + QStringLiteral("/pm2")).toUtf8());
        QStringList apps;
        for (int i = 0; i < count; ++i)
            apps.append(QStringLiteral(R"({"name":"bench-%1","script":"%2"})")
                            .arg(i)
                            .arg(QStringLiteral(NIMBREL_TEST_SERVER)));
        const QString ecosystem = dir_.path() + QStringLiteral("/apps.json");
        QFile file(ecosystem);
        if (file.open(QIODevice::WriteOnly))
            file.write(
                (QStringLiteral("{\"apps\":[") + apps.join(u',') + QStringLiteral("]}")).toUtf8());
        file.close();
        pm2({QStringLiteral("start"), ecosystem});
        pm2({QStringLiteral("jlist")});
    }
    ~RealPM2() { pm2({QStringLiteral("kill")}); }
    Shell::Result pm2(const QStringList &arguments) const
    {
        return Shell::run(path, arguments, QStringLiteral(NIMBREL_PM2_DIR), 60);
    }
    const QString path = QStringLiteral(NIMBREL_PM2);
    QString settings() const { return dir_.path() + QStringLiteral("/Nimbrel.json"); }

private:
    QTemporaryDir dir_;
};

double ownAndChildren()
{
    return cpuMilliseconds(RUSAGE_SELF) + cpuMilliseconds(RUSAGE_CHILDREN);
}

// One whole refresh (pm2's daemon socket and /proc), and the route it replaced (`pm2 jlist`, ps,
// lsof and netstat, run and parsed here), taken in turns so that the machine's drift falls on
// both alike. CPU is ours (RUSAGE_SELF, both threads) plus the commands' (RUSAGE_CHILDREN).
void wholeRefresh(benchmark::State &state)
{
    const RealPM2 pm2(int(state.range(0)));
    Store store(pm2.settings());
    store.setValue(StoreKey::pm2Path, pm2.path);
    Monitor monitor(store);
    int applies = 0;
    QObject::connect(&monitor, &Monitor::lastRefreshChanged, [&] { ++applies; });
    const SystemProbe::Tools tools = SystemProbe::locateTools();
    const PM2Client client(pm2.path);

    double own = 0, commands = 0, oldRoute = 0;
    for (auto _ : state) {
        const double self = cpuMilliseconds(RUSAGE_SELF);
        const double children = cpuMilliseconds(RUSAGE_CHILDREN);
        const int target = applies + 1;
        monitor.refresh();
        while (applies < target)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        own += cpuMilliseconds(RUSAGE_SELF) - self;
        commands += cpuMilliseconds(RUSAGE_CHILDREN) - children;

        state.PauseTiming();
        const double before = ownAndChildren();
        benchmark::DoNotOptimize(client.listByCommand());
        benchmark::DoNotOptimize(SystemProbe::snapshot(tools));
        oldRoute += ownAndChildren() - before;
        state.ResumeTiming();
    }
    const auto perRefresh = benchmark::Counter::kAvgIterations;
    state.counters["own_cpu_ms"] = benchmark::Counter(own, perRefresh);
    state.counters["commands_cpu_ms"] = benchmark::Counter(commands, perRefresh);
    state.counters["old_route_cpu_ms"] = benchmark::Counter(oldRoute, perRefresh);
    state.counters["refresh_vs_old"] = (own + commands) / oldRoute;
}
BENCHMARK(wholeRefresh)
    ->Name("Monitor.refresh vs jlist+ps+lsof+netstat, real pm2 apps")
    ->Arg(10)
    ->Arg(50)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(20);

// The whole picture export against the same pm2: a process start, one refresh, the 3-second
// wait the export keeps for the refresh to land, and the drawing.
void screenshotRun(benchmark::State &state)
{
    const RealPM2 pm2;
    QTemporaryDir home;
    qputenv("XDG_CONFIG_HOME", home.path().toUtf8());
    Store(home.path() + QStringLiteral("/Nimbrel/Nimbrel.json"))
        .setValue(StoreKey::pm2Path, pm2.path);
    const QString picture = home.path() + QStringLiteral("/panel.png");
    double cpu = 0;
    for (auto _ : state) {
        const double before = cpuMilliseconds(RUSAGE_CHILDREN);
        Shell::run(QStringLiteral(NIMBREL_BINARY), {QStringLiteral("--screenshot"), picture},
                   std::nullopt, 60);
        cpu += cpuMilliseconds(RUSAGE_CHILDREN) - before;
    }
    state.counters["cpu_ms"] = benchmark::Counter(cpu, benchmark::Counter::kAvgIterations);
}
BENCHMARK(screenshotRun)
    ->Name("nimbrel --screenshot, real pm2")
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(5);

} // namespace
