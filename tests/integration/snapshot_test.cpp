// One snapshot of the real machine: a real server tree, real connections, the real tools.
#include "app/shell.h"
#include "app/system_probe.h"
#include "support/test_environment.h"

#include <QElapsedTimer>

#include <gtest/gtest.h>

#include <csignal>
#include <thread>
#include <unistd.h>

using namespace nimbrel;
using namespace std::chrono_literals;

namespace {

// The tree server of tests/integration, started in the background by a shell that reports its
// pid; both of its processes are killed by pid at the end.
class ServerTree
{
public:
    explicit ServerTree(const test::TestEnvironment &env) : portsFile_(env.root() + "/ports")
    {
        const Shell::Result started =
            Shell::run(QStringLiteral("/bin/sh"),
                       {QStringLiteral("-c"),
                        QStringLiteral("PORTS_FILE='%1' node '%2' >/dev/null 2>&1 & echo $!")
                            .arg(portsFile_, QStringLiteral(NIMBREL_TREE_SERVER))},
                       std::nullopt, 10);
        parentPid = started.output.trimmed().toLongLong();
        for (int i = 0; i < 100 && test::readFile(portsFile_).isEmpty(); ++i)
            std::this_thread::sleep_for(50ms);
        const QList<QByteArray> fields = test::readFile(portsFile_).trimmed().split(' ');
        if (fields.size() == 3) {
            parentPort = fields[0].toLongLong();
            childPort = fields[1].toLongLong();
            childPid = fields[2].toLongLong();
        }
    }
    ~ServerTree()
    {
        for (const qint64 pid : {childPid, parentPid}) {
            if (pid > 0)
                ::kill(pid_t(pid), SIGKILL);
        }
    }

    qint64 parentPid = 0;
    qint64 childPid = 0;
    qint64 parentPort = 0;
    qint64 childPort = 0;

private:
    QString portsFile_;
};

} // namespace

TEST(SystemSnapshot, seesARealServerTreeItsPortsAndItsConnections)
{
    test::TestEnvironment env;
    ServerTree server(env);
    ASSERT_GT(server.childPid, 0) << "the tree server did not report its ports";

    std::vector<int> connections;
    for (int i = 0; i < 3; ++i)
        connections.push_back(test::connectToLoopback(server.parentPort));
    ASSERT_EQ(std::count(connections.begin(), connections.end(), -1), 0);
    std::this_thread::sleep_for(200ms); // accepted on the server's side

    const Instant before = now();
    const SystemSnapshot snapshot = SystemProbe::snapshot();
    for (const int fd : connections)
        ::close(fd);

    EXPECT_GE(snapshot.takenAt, before);
    const ProcessTree::Usage usage = ProcessTree::usage(server.parentPid, snapshot.processes);
    EXPECT_EQ(usage.pids, (QSet<int64_t>{server.parentPid, server.childPid}));
    EXPECT_GT(usage.residentBytes, 2 * 10'000'000); // two node processes
    const QList<ProcessRow> members = ProcessTree::members(server.parentPid, snapshot.processes);
    ASSERT_EQ(members.size(), 2);
    EXPECT_EQ(usage.residentBytes, members[0].residentBytes + members[1].residentBytes);
    EXPECT_TRUE(members[0].command.contains("tree_server.js"));

    EXPECT_EQ(snapshot.listeningPorts.value(server.parentPid), QSet<int64_t>{server.parentPort});
    EXPECT_EQ(snapshot.listeningPorts.value(server.childPid), QSet<int64_t>{server.childPort});
    EXPECT_EQ(snapshot.establishedCounts.value(server.parentPort), 3);
    EXPECT_FALSE(snapshot.establishedCounts.contains(server.childPort));
}

TEST(SystemSnapshot, missingSlowAndStoppedToolsLeaveTheirPartsEmpty)
{
    test::TestEnvironment env;
    const SystemProbe::Tools real = SystemProbe::locateTools();

    const QString missing = env.root() + "/missing";
    const SystemSnapshot none = SystemProbe::snapshot({missing, missing, missing});
    EXPECT_TRUE(none.processes.isEmpty());
    EXPECT_TRUE(none.listeningPorts.isEmpty());
    EXPECT_TRUE(none.establishedCounts.isEmpty());

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
