// Snapshots of the real machine: real server trees, real connections, the real tools.
#include "app/monitor.h"
#include "app/pm2_client.h"
#include "app/pm2_socket.h"
#include "app/system_probe.h"
#include "support/test_environment.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QScopeGuard>
#include <QTest>

#include <gtest/gtest.h>

#include <csignal>
#include <ctime>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace nimbrel;
using namespace std::chrono_literals;

TEST(SystemSnapshot, missingSlowAndStoppedToolsLeaveTheirPartsEmpty)
{
    test::TestEnvironment env;
    const SystemProbe::Tools real = SystemProbe::locateTools();

    const QString missing = env.root() + "/missing";
    const SystemSnapshot none = SystemProbe::snapshot({missing, missing, missing});
    EXPECT_TRUE(none.processes.isEmpty() && none.listeningPorts.isEmpty() &&
                none.establishedCounts.isEmpty());

    // A ps that takes its time: the snapshot is stamped after it.
    const QString slowPs = env.root() + "/slow-ps";
    test::writeFile(slowPs, "#!/bin/sh\nsleep 1\nexec /bin/ps \"$@\"\n", true);
    const Instant before = now();
    const SystemSnapshot slow = SystemProbe::snapshot({slowPs, real.lsof, real.netstat});
    EXPECT_GE((slow.takenAt - before).count(), 1.0);
    EXPECT_FALSE(slow.processes.isEmpty());

    // A ps stopped at its limit: the complete lines it printed still count.
    const QString stuckPs = env.root() + "/stuck-ps";
    test::writeFile(
        stuckPs,
        "#!/bin/sh\nprintf '  PID  PPID   RSS     TIME COMMAND\\n    7     1   100 00:00:01 "
        "a\\n    8     1   200 00:00:02 b\\n    9     1'\nexec sleep 30\n",
        true);
    QElapsedTimer clock;
    clock.start();
    const SystemSnapshot stuck = SystemProbe::snapshot({stuckPs, missing, missing, 0.5});
    EXPECT_LT(clock.elapsed(), 3000);
    ASSERT_EQ(stuck.processes.size(), 2);
    EXPECT_EQ(stuck.processes[1].pid, 8);
}

TEST(SystemSnapshot, procAndToolsSeeTheSameMachine)
{
    test::TestEnvironment env;
    test::startApp("web");
    test::startApp("api");
    // The tree server: a parent and the child it forked, each listening on a port of its own.
    const QString portsFile = env.root() + "/ports";
    env.set("PORTS_FILE", portsFile);
    QProcess server;
    server.start("node", {NIMBREL_TREE_SERVER});
    QList<QByteArray> fields;
    const bool listening = QTest::qWaitFor(
        [&] { return (fields = test::readFile(portsFile).trimmed().split(' ')).size() == 3; });
    ASSERT_TRUE(listening);
    const auto stopChild = qScopeGuard([&] { ::kill(pid_t(fields[2].toLongLong()), SIGKILL); });
    const int64_t parentPort = fields[0].toLongLong(), childPort = fields[1].toLongLong();
    const std::optional<SystemSnapshot> before = SystemProbe::procSnapshot();
    ASSERT_TRUE(before);

    QList<int64_t> watched{server.processId(), fields[2].toLongLong()};
    QList<int64_t> ports{parentPort};
    std::vector<int> connections;
    const QList<PM2App> apps = test::pm2List();
    for (const PM2App &app : apps) {
        ASSERT_TRUE(app.pid);
        watched.append(*app.pid);
        const QSet<int64_t> listening = before->listeningPorts.value(*app.pid);
        ASSERT_EQ(listening.size(), 1) << app.name.toStdString();
        ports.append(*listening.begin());
        for (qsizetype i = 0; i < ports.size(); ++i) // 2 to the first app, 3 to the second
            connections.push_back(test::connectToLoopback(ports.back()));
    }
    for (int i = 0; i < 3; ++i)
        connections.push_back(test::connectToLoopback(parentPort));
    ports.append(childPort); // listens, holds nothing
    std::this_thread::sleep_for(200ms);

    // /proc just before and just after the tools: a server whose memory stood still between the
    // two was in the same state when ps read it.
    const std::optional<SystemSnapshot> justBefore = SystemProbe::procSnapshot();
    const SystemSnapshot tools = SystemProbe::snapshot(SystemProbe::locateTools());
    const std::optional<SystemSnapshot> proc = SystemProbe::procSnapshot("/proc", watched);
    // The monitor joins the machine to pm2's apps: each row with its port, its connections and
    // the memory of its tree.
    Store store(env.settingsFile());
    store.setValue(StoreKey::pm2Path, test::currentPm2);
    Monitor monitor(store);
    bool refreshed = false;
    QObject::connect(&monitor, &Monitor::lastRefreshChanged, [&] { refreshed = true; });
    monitor.refresh();
    ASSERT_TRUE(QTest::qWaitFor([&] { return refreshed; }, 60'000));
    for (const ServerRow &row : monitor.rows()) {
        // 2 connections to the first app, 3 to the second
        const qsizetype i = std::ranges::find(apps, row.app.name, &PM2App::name) - apps.begin() + 1;
        EXPECT_EQ(row.ports, QList<int64_t>{ports.value(i)}) << i;
        EXPECT_EQ(row.connections, i + 1);
        EXPECT_GT(row.memoryBytes, 10'000'000);
    }
    EXPECT_EQ(monitor.rows().size(), 2);
    for (const int fd : connections)
        ::close(fd);
    ASSERT_TRUE(justBefore && proc);
    QHash<int64_t, int64_t> memoryBefore;
    for (const ProcessRow &row : justBefore->processes)
        memoryBefore.insert(row.pid, row.residentBytes);
    QHash<int64_t, ProcessRow> fromPs;
    for (const ProcessRow &row : tools.processes)
        fromPs.insert(row.pid, row);
    QSet<int64_t> throughout, read, trees; // throughout: alive through all three snapshots
    for (const ProcessRow &row : before->processes)
        throughout.insert(row.pid);
    qsizetype compared = 0, steady = 0;
    for (const ProcessRow &row : proc->processes) {
        read.insert(row.pid);
        if (!throughout.contains(row.pid))
            continue;
        ++compared;
        ASSERT_TRUE(fromPs.contains(row.pid)) << row.pid;
        const ProcessRow &ps = fromPs[row.pid];
        EXPECT_EQ(row.ppid, ps.ppid) << row.pid;
        EXPECT_EQ(proc->listeningPorts.value(row.pid), tools.listeningPorts.value(row.pid))
            << row.pid;
        if (!watched.contains(row.pid))
            continue;
        if (memoryBefore.value(row.pid) == row.residentBytes) {
            ++steady;
            EXPECT_NEAR(row.residentBytes, ps.residentBytes, ::sysconf(_SC_PAGESIZE)) << row.pid;
        }
        EXPECT_NEAR(row.cpuSeconds, ps.cpuSeconds, 1.0) << row.pid; // ps: whole seconds
        EXPECT_EQ(row.command, ps.command) << row.pid;
    }
    EXPECT_GE(compared, watched.size());
    EXPECT_GE(steady, 1);
    for (const int64_t pid : watched) // only the trees, as the tools' whole table draws them
        trees.unite(ProcessTree::usage(pid, tools.processes).pids);
    EXPECT_EQ(read, trees);
    for (const int64_t port : ports)
        EXPECT_EQ(proc->establishedCounts.value(port), tools.establishedCounts.value(port));
    EXPECT_EQ(proc->establishedCounts.value(ports[0]), 3);
    EXPECT_EQ(proc->establishedCounts.value(ports[1]), 2);
    EXPECT_EQ(proc->establishedCounts.value(ports[2]), 3);
    EXPECT_FALSE(proc->establishedCounts.contains(childPort));
}

// Our own tree through /proc: a thousand children take two pages of the kernel's children list,
// and the CPU time matches the kernel's clock to a few ticks, after half a second of work partly
// in the kernel. ps's whole seconds could not tell the busy rule's 2 % of a minute from nothing.
TEST(SystemSnapshot, ourOwnTreeThroughProcIsWholeAndPrecise)
{
    test::TestEnvironment env;
    const auto cpuClock = [] {
        timespec t{};
        ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
        return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
    };
    for (const double start = cpuClock(); cpuClock() - start < 0.5;) {
    }
    char sleep[] = "sleep", seconds[] = "600";
    char *arguments[] = {sleep, seconds, nullptr};
    QList<pid_t> children;
    for (pid_t pid = 0; children.size() < 1000 && ::posix_spawn(&pid, "/bin/sleep", nullptr,
                                                                nullptr, arguments, environ) == 0;)
        children.append(pid);
    const double before = cpuClock();
    const auto snapshot = SystemProbe::procSnapshot("/proc", QList<int64_t>{::getpid()});
    const double after = cpuClock();
    for (const pid_t pid : children) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
    }
    ASSERT_EQ(children.size(), 1000);
    ASSERT_TRUE(snapshot);
    EXPECT_GE(snapshot->processes.size(), 1001); // and the test itself
    const auto self = std::ranges::find(snapshot->processes, ::getpid(), &ProcessRow::pid);
    ASSERT_NE(self, snapshot->processes.end());
    EXPECT_GE(self->cpuSeconds, before - 0.05);
    EXPECT_LE(self->cpuSeconds, after + 0.05);
}

TEST(SystemSnapshot, procTreeJoinsSocketsToPidsAndSkipsWhatVanished)
{
    test::TestEnvironment env;
    const QString root = env.root() + "/proc";
    EXPECT_EQ(SystemProbe::procSnapshot(root), std::nullopt); // not mounted
    QDir().mkpath(root + "/net");
    EXPECT_EQ(SystemProbe::procSnapshot(root), std::nullopt); // no TCP table

    const QByteArray entry = " 00000000:0000 0A 00000000:00000000 00:00000000 "
                             "00000000  1000        0 ";
    test::writeFile(root + "/net/tcp", "  sl  local_address ...\n   0: 0100007F:0BB8" + entry +
                                           "777 1\n   1: 0100007F:0BB9" + entry + "778 1\n");
    const QByteArray stat = " S 1 1 1 0 -1 0 0 0 0 0 300 50 0 0 20 0 1 0 9 9 25";
    test::writeFile(root + "/42/stat", "42 (node)" + stat);
    test::writeFile(root + "/42/statm", "900 25 10 1 0 100 0");
    test::writeFile(root + "/44/statm", "900 25 10 1 0 100 0");
    test::writeFile(root + "/42/cmdline", QByteArray("node\0a.js\0", 10));
    QDir().mkpath(root + "/42/fd");
    QFile::link(QStringLiteral("socket:[777]"), root + "/42/fd/3");
    QFile::link(QStringLiteral("/dev/null"), root + "/42/fd/4");
    QDir().mkpath(root + "/43"); // ended before its stat was read
    test::writeFile(root + "/44/stat", "44 (kworker/0:1)" + stat);
    test::writeFile(root + "/44/cmdline", "");
    QDir().mkpath(root + "/self");
    // 45 was started by a thread of 42; 44 is of a kernel without children files.
    test::writeFile(root + "/42/task/42/children", "");
    test::writeFile(root + "/42/task/48/children", "45 ");
    test::writeFile(root + "/45/stat", "45 (sh) S 42 1 1 0 -1 0 0 0 0 0 300 50 0 0 20 0 1 0 9 9");
    test::writeFile(root + "/45/statm", "900 25 10 1 0 100 0");
    test::writeFile(root + "/45/cmdline", "");
    test::writeFile(root + "/45/task/45/children", "");

    const int64_t page = ::sysconf(_SC_PAGESIZE);
    const double tick = 1.0 / double(::sysconf(_SC_CLK_TCK));
    const ProcessRow node{42, 1, 25 * page, 350 * tick, QStringLiteral("node a.js")};
    const ProcessRow kworker{44, 1, 25 * page, 350 * tick, QStringLiteral("[kworker/0:1]")};
    const ProcessRow sh{45, 42, 25 * page, 350 * tick, QStringLiteral("[sh]")};
    const std::pair<std::optional<QList<int64_t>>, QList<ProcessRow>> cases[] = {
        {std::nullopt, {node, kworker, sh}},
        {QList<int64_t>{45, 42, 43, 99}, {node, sh}},
        {QList<int64_t>{}, {}},
        {QList<int64_t>{44}, {node, kworker, sh}}};
    for (const auto &[roots, rows] : cases) {
        std::optional<SystemSnapshot> snapshot = SystemProbe::procSnapshot(root, roots);
        ASSERT_TRUE(snapshot);
        std::ranges::sort(snapshot->processes, {}, &ProcessRow::pid); // /proc lists in order
        EXPECT_EQ(snapshot->processes, rows) << rows.size();
        const PortProbe::ListeningPorts ports{{42, {3000}}};
        EXPECT_EQ(snapshot->listeningPorts, rows.isEmpty() ? PortProbe::ListeningPorts{} : ports);
    }
}

// pm2's own daemons, old and new, answer our one call with the rows `pm2 jlist` prints.
TEST(PM2Socket, realDaemonsGiveTheRowsOfJlist)
{
    for (const QString &version : {test::currentPm2, test::olderPm2}) {
        test::TestEnvironment env;
        test::startApp("web", version);
        test::startApp("api", version);
        test::pm2({"stop", "api"}, version);

        const std::optional<QList<PM2App>> fromSocket = PM2Socket::list(PM2Socket::path());
        QList<PM2App> fromCommand = PM2Client(version).listByCommand();
        ASSERT_TRUE(fromSocket) << version.toStdString();
        ASSERT_EQ(fromCommand.size(), 2);
        for (qsizetype i = 0; i < fromCommand.size(); ++i) // measured anew by each call
            fromCommand[i].reportedMemory = (*fromSocket)[i].reportedMemory;
        EXPECT_EQ(*fromSocket, fromCommand) << version.toStdString();
        EXPECT_EQ(fromCommand[1].status, PM2App::Status::stopped);
    }
}
