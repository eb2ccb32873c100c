// Ports and connections from captured Linux lsof and netstat output, and hostile input.
#include "core/port_probe.h"
#include "core/process_tree.h"
#include "support/test_environment.h"

#include <gtest/gtest.h>

#include <ctime>

using namespace nimbrel;

TEST(PortProbe, portOfEveryAddressForm)
{
    // Linux puts the port after a colon, BSD after a dot; a wildcard port is none.
    const std::pair<const char *, int64_t> cases[] = {
        {"127.0.0.1:3000", 3000},   {"[::1]:3000", 3000},     {"*:3000", 3000},
        {"::1:3000", 3000},         {"127.0.0.1.3000", 3000}, {"::1.3000", 3000},
        {"fe80::1%lo0.5173", 5173}, {"[::]:*", -1},           {"0.0.0.0:*", -1},
        {"127.0.0.1:", -1}};
    for (const auto &[address, port] : cases)
        EXPECT_EQ(PortProbe::port(QString::fromLatin1(address)).value_or(-1), port) << address;
}

TEST(PortProbe, listeningPortsFromLsof)
{
    EXPECT_EQ(PortProbe::listeningPorts(
                  QString::fromUtf8(test::readFile(NIMBREL_FIXTURES "/lsof_linux.txt"))),
              (PortProbe::ListeningPorts{{19196, {44657}}, {19204, {44881}}}));
    // One port on IPv4 and IPv6; without the state the last field is the address; warnings.
    const QString bsd =
        QStringLiteral("COMMAND PID USER FD TYPE DEVICE SIZE/OFF NODE NAME\n"
                       "node 501 dev 23u IPv4 0x1 0t0 TCP 127.0.0.1:3000 (LISTEN)\n"
                       "node 501 dev 24u IPv6 0x2 0t0 TCP [::1]:3000 (LISTEN)\n"
                       "node 501 dev 25u IPv6 0x3 0t0 TCP *:3001 (LISTEN)\n"
                       "vite 77 dev 30u IPv4 0x1 0t0 TCP *:5173\n"
                       "lsof: WARNING: can't stat() fuse file system /run/user/1000/doc\n"
                       "      Output information may be incomplete.\n");
    EXPECT_EQ(PortProbe::listeningPorts(bsd),
              (PortProbe::ListeningPorts{{501, {3000, 3001}}, {77, {5173}}}));
}

TEST(PortProbe, establishedCountsFromNetstat)
{
    // Three browser connections to 44657: the server's halves count there, the clients' halves
    // under their own ephemeral ports.
    EXPECT_EQ(PortProbe::establishedCounts(
                  QString::fromUtf8(test::readFile(NIMBREL_FIXTURES "/netstat_linux.txt"))),
              (PortProbe::EstablishedCounts{{44657, 3}, {60146, 1}, {60156, 1}, {60164, 1}}));
}

TEST(ToolOutputParsers, hugeAndHostileInputStaysLinear)
{
    const QString megabyteLine =
        QString(1 << 20, u'7') + QStringLiteral(" 1 1 1:00 ") + QString(1 << 20, u'x');
    const QString manyLines = "h\n" + QStringLiteral("1 1 1 0:00 a\n").repeated(100'000);
    // The thread's own CPU time: a machine busy with other work does not count.
    const auto cpuMs = [] {
        timespec now{};
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
        return now.tv_sec * 1000 + now.tv_nsec / 1'000'000;
    };
    const auto started = cpuMs();
    EXPECT_TRUE(ProcessTree::parse("h\n" + megabyteLine).isEmpty());
    EXPECT_EQ(ProcessTree::usage(1, ProcessTree::parse(manyLines)).processCount(), 1); // one pid
    EXPECT_EQ(ProcessTree::parseCPUTime(QStringLiteral("1:").repeated(500'000)), 0.0);
    EXPECT_TRUE(PortProbe::listeningPorts("h\n" + megabyteLine).isEmpty());
    EXPECT_EQ(PortProbe::establishedCounts(megabyteLine + " ESTABLISHED").size(), 1);
    EXPECT_EQ(ProcessRow{.command = QString(1 << 20, u'/')}.label(), "(不明)");
    EXPECT_EQ(PortProbe::port(u"1:99999999999999999999"), std::nullopt);
    EXPECT_LT(cpuMs() - started, 5000); // under the sanitizers; quadratic work takes minutes
}
