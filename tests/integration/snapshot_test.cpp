// Snapshots of the real machine: real server trees, real connections, the real tools.
#include "app/system/system_probe.h"
#include "support/test_environment.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QScopeGuard>
#include <QTest>

#include <gtest/gtest.h>

#include <csignal>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace nimbrel;

TEST(SystemSnapshot, brokenToolsAndAProcOfOurMakingGiveWhatTheyTruthfullyCan)
{
    test::TestEnvironment env;
    const QString missing = env.root() + "/missing", stuckPs = env.root() + "/stuck-ps";
    const SystemSnapshot none = SystemProbe::snapshot({missing, missing, missing});
    EXPECT_TRUE(none.processes.isEmpty() && none.listeningPorts.isEmpty() &&
                none.establishedCounts.isEmpty());

    // A ps stopped at its limit: the complete lines it printed still count, and the snapshot is
    // stamped after it.
    test::writeFile(stuckPs,
                    "#!/bin/sh\nprintf '  PID  PPID   RSS     TIME COMMAND\\n    7     1   100 "
                    "00:00:01 a\\n    8     1   200 00:00:02 b\\n    9     1'\nexec sleep 30\n",
                    true);
    const Instant started = now();
    const SystemSnapshot stuck = SystemProbe::snapshot({stuckPs, missing, missing, 1.0});
    EXPECT_GE((stuck.takenAt - started).count(), 1.0);
    EXPECT_LT((now() - started).count(), 3.5);
    ASSERT_EQ(stuck.processes.size(), 2);
    EXPECT_EQ(stuck.processes[1].pid, 8);

    // A /proc of our making: sockets joined to their pids, and what vanished skipped.
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

TEST(SystemSnapshot, procAndToolsSeeTheSameMachine)
{
    test::TestEnvironment env;
    test::startApp("web");
    test::startApp("api");
    // The tree server: a parent and the child it forked, each listening on a port of its own.
    env.set("PORTS_FILE", env.root() + "/ports");
    QProcess server;
    server.start("node", {NIMBREL_TREE_SERVER});
    QList<QByteArray> fields;
    ASSERT_TRUE(QTest::qWaitFor([&] {
        return (fields = test::readFile(env.root() + "/ports").trimmed().split(' ')).size() == 3;
    }));
    // And our own tree: a thousand children take two pages of the kernel's children list.
    char *arguments[] = {const_cast<char *>("sleep"), const_cast<char *>("600"), nullptr};
    QList<pid_t> children{pid_t(fields[2].toLongLong())};
    const auto stopChildren = qScopeGuard([&] {
        for (const pid_t pid : children)
            ::kill(pid, SIGKILL);
        for (const pid_t pid : children)
            ::waitpid(pid, nullptr, 0);
    });
    for (pid_t pid = 0; children.size() <= 1000 && ::posix_spawn(&pid, "/bin/sleep", nullptr,
                                                                 nullptr, arguments, environ) == 0;)
        children.append(pid);
    ASSERT_EQ(children.size(), 1001);
    const std::optional<SystemSnapshot> before = SystemProbe::procSnapshot();
    ASSERT_TRUE(before);

    QList<int64_t> watched{server.processId(), children[0], ::getpid()};
    QList<int64_t> ports{fields[0].toLongLong()};
    for (const PM2App &app : test::pm2List()) {
        ASSERT_TRUE(app.pid);
        watched.append(*app.pid);
        const QSet<int64_t> listening = before->listeningPorts.value(*app.pid);
        ASSERT_EQ(listening.size(), 1) << app.name.toStdString();
        ports.append(*listening.begin());
    }
    // 3 connections to the tree server's parent, 2 to the first app, 3 to the other.
    std::vector<int> connections;
    for (const qsizetype i : {0, 0, 0, 1, 1, 2, 2, 2})
        connections.push_back(test::connectToLoopback(ports[i]));
    ports.append(fields[1].toLongLong());
    QTest::qWait(200);

    // /proc just after the tools. Memory and CPU time: the fake /proc test pins /proc's, the
    // parser tests ps's.
    const SystemSnapshot tools = SystemProbe::snapshot(SystemProbe::locateTools());
    const std::optional<SystemSnapshot> proc = SystemProbe::procSnapshot("/proc", watched);
    for (const int fd : connections)
        ::close(fd);
    ASSERT_TRUE(proc);
    const auto find = [](const SystemSnapshot &in, int64_t pid) {
        const auto at = std::ranges::find(in.processes, pid, &ProcessRow::pid);
        return at == in.processes.end() ? nullptr : &*at;
    };
    // Of the processes alive from before the tools to after them: our own children come and go.
    QSet<int64_t> read, trees;
    for (const ProcessRow &row : proc->processes) {
        if (!find(*before, row.pid))
            continue;
        read.insert(row.pid);
        ASSERT_TRUE(find(tools, row.pid)) << row.pid;
        const ProcessRow &ps = *find(tools, row.pid);
        EXPECT_EQ(row.ppid, ps.ppid) << row.pid;
        EXPECT_EQ(proc->listeningPorts.value(row.pid), tools.listeningPorts.value(row.pid))
            << row.pid;
        EXPECT_EQ(row.command, watched.contains(row.pid) ? ps.command : row.command) << row.pid;
    }
    for (const int64_t pid : watched) // only the trees, as the tools' whole table draws them
        for (const int64_t member : ProcessTree::usage(pid, tools.processes).pids)
            if (find(*before, member))
                trees.insert(member);
    EXPECT_EQ(read, trees);
    EXPECT_GT(read.size(), 1000);
    const int held[] = {3, 2, 3, -1}; // the child's port: listening, nothing held
    for (qsizetype i = 0; i < ports.size(); ++i) {
        EXPECT_EQ(proc->establishedCounts.value(ports[i]), tools.establishedCounts.value(ports[i]));
        EXPECT_EQ(proc->establishedCounts.value(ports[i], -1), held[i]) << i;
    }
}
