// The /proc texts of one snapshot: stat lines with awkward names, command lines as ps prints
// them, socket links and the TCP tables, as a 6.x kernel writes them.
#include "core/proc_files.h"

#include <gtest/gtest.h>

using namespace nimbrel;

TEST(ProcFiles, processRowsFromStatStatmAndCmdline)
{
    const QByteArray tail = " S 1 1 1 0 -1 4194304 100 0 0 0 150 25 7 9 20 0 1 0 35785 3133440 1";
    const QByteArray statm = "9000 389 100 10 0 2000 0\n";
    const ProcessRow plain{7, 1, 389 * 4096, 1.75, "x"}; // 150 + 25 ticks of 100 a second
    // stat, statm, cmdline with "|" for NUL, the row.
    const std::tuple<QByteArray, QByteArray, QByteArray, std::optional<ProcessRow>> cases[] = {
        {"4242 (node)" + tail, statm, "node|server.js|--port|3000|",
         ProcessRow{4242, 1, 389 * 4096, 1.75, "node server.js --port 3000"}},
        {"7 (a) b (c)" + tail, statm, "x", plain},
        {"2 (kthreadd) S 0 0 0 0 -1 2129984 0 0 0 0 0 0 0 0 20 0 1 0 25 0 0", "0 0 0 0 0 0 0", "",
         ProcessRow{2, 0, 0, 0, "[kthreadd]"}},
        {"7 (t)" + tail, statm, "pm2: God|||a\tb\n",
         ProcessRow{7, 1, 389 * 4096, 1.75, "pm2: God   a?b?"}},
        {"7 t" + tail, statm, "x", std::nullopt},
        {"7 (t)" + tail, "9000", "x", std::nullopt},
    };
    for (auto [stat, statm, cmdline, row] : cases)
        EXPECT_EQ(ProcFiles::row(stat, statm, cmdline.replace('|', '\0'), 100, 4096), row)
            << stat.toStdString();
}

TEST(ProcFiles, socketsFromLinksAndTcpTables)
{
    const std::pair<const char *, uint64_t> links[] = {
        {"socket:[49909]", 49909}, {"socket:[]", 0}, {"pipe:[49909]", 0},
        {"socket:[12x]", 0},       {"socket:[5", 0}, {"/dev/null", 0}};
    for (const auto &[target, inode] : links)
        EXPECT_EQ(ProcFiles::socketInode(target).value_or(0), inode) << target;

    // Listening (0A) sockets by inode, established (01) ones counted by local port; other
    // states, bad ports and cut lines count nothing.
    ProcFiles::TcpSockets sockets;
    ProcFiles::addTcpTable(
        "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  "
        "timeout inode\n"
        "   0: 0100007F:0BB8 00000000:0000 0A 00000000:00000000 00:00000000 00000000  1000 0 49909 "
        "1\n"
        "   1: 0100007F:0BB8 0100007F:A2C4 01 00000000:00000000 00:00000000 00000000  1000 0 50001 "
        "1\n"
        "   2: 0100007F:A2C4 0100007F:0BB8 01 00000000:00000000 00:00000000 00000000  1000 0 50002 "
        "1\n"
        "   3: 0100007F:0BB8 0100007F:A2C6 06 00000000:00000000 03:00000E5A 00000000     0 0 0 3\n"
        "   4: 0100007F:ZZZZ 00000000:0000 0A 00000000:00000000 00:00000000 00000000  1000 0 5 1\n"
        "   5: truncated\n",
        sockets);
    EXPECT_EQ(sockets.listening, (QHash<uint64_t, int64_t>{{49909, 3000}}));
    EXPECT_EQ(sockets.addresses.value(49909).bytes[0], 127);

    // Whole addresses: family, loopback or wildcard, port; anything malformed is nothing.
    const std::tuple<const char *, int, bool, bool, int64_t> addresses[] = {
        {"0100007F:0BB8", 4, true, false, 3000},
        {"00000000:1F90", 4, false, true, 8080},
        {"0101A8C0:0050", 4, false, false, 80},
        {"00000000000000000000000001000000:0BB8", 6, true, false, 3000},
        {"00000000000000000000000000000000:1538", 6, false, true, 5432},
        {"0100007F:ZZZZ", 0, false, false, 0},
        {"0100007:0BB8", 0, false, false, 0},
        {"0100007F:10000", 0, false, false, 0}};
    for (const auto &[local, family, loopback, wildcard, port] : addresses) {
        const auto address = ProcFiles::listenAddress(local);
        EXPECT_EQ(address ? (address->v6 ? 6 : 4) : 0, family) << local;
        if (address) {
            EXPECT_EQ(std::tuple(address->isLoopback(), address->isWildcard(), address->port),
                      std::tuple(loopback, wildcard, port))
                << local;
        }
    }
    EXPECT_EQ(sockets.establishedCounts, (PortProbe::EstablishedCounts{{3000, 1}, {41668, 1}}));
}
