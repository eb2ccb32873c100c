// Ports and connections from captured Linux lsof and netstat output, and the BSD forms.
#include "core/port_probe.h"
#include "core/process_tree.h"
#include "support/test_environment.h"

#include <QElapsedTimer>

#include <gtest/gtest.h>

using namespace nimbrel;

namespace {

QString fixture(const char *name)
{
    return QString::fromUtf8(
        test::readFile(QStringLiteral(NIMBREL_FIXTURES "/") + QLatin1String(name)));
}

} // namespace

TEST(PortProbe, portOfEveryAddressForm)
{
    const std::pair<const char *, std::optional<int64_t>> cases[] = {
        {"127.0.0.1:3000", 3000},
        {"[::1]:3000", 3000},
        {"*:3000", 3000},
        {":::3000", 3000},
        {"::1:3000", 3000},
        {"0.0.0.0:2024", 2024},
        {"127.0.0.1.3000", 3000},
        {"::1.3000", 3000},
        {"*.3000", 3000},
        {"fe80::1%lo0.5173", 5173},
        {"*:*", std::nullopt},
        {"*.*", std::nullopt},
        {"0.0.0.0:*", std::nullopt},
        {"127.0.0.1:", std::nullopt},
        {"localhost", std::nullopt},
        {"", std::nullopt},
        {"1.2.3.4:99999999999999999999", std::nullopt},
    };
    for (const auto &[address, port] : cases)
        EXPECT_EQ(PortProbe::port(QString::fromLatin1(address)), port) << address;
}

TEST(PortProbe, listeningPortsFromLsof)
{
    EXPECT_EQ(PortProbe::listeningPorts(fixture("lsof_linux.txt")),
              (PortProbe::ListeningPorts{{19196, {44657}}, {19204, {44881}}}));

    const QString header = QStringLiteral("COMMAND PID USER FD TYPE DEVICE SIZE/OFF NODE NAME\n");
    struct Case
    {
        const char *label;
        QString text;
        PortProbe::ListeningPorts ports;
    };
    const Case cases[] = {
        {"empty", QString(), {}},
        {"header only", header, {}},
        {"BSD lsof, IPv4 and IPv6 sockets of one port",
         header + QStringLiteral("node 501 dev 23u IPv4 0x1 0t0 TCP 127.0.0.1:3000 (LISTEN)\n"
                                 "node 501 dev 24u IPv6 0x2 0t0 TCP [::1]:3000 (LISTEN)\n"
                                 "node 501 dev 25u IPv6 0x3 0t0 TCP *:3001 (LISTEN)\n"),
         {{501, {3000, 3001}}}},
        {"without the state the last field is the address",
         header + QStringLiteral("vite 77 dev 30u IPv4 0x1 0t0 TCP *:5173\n"),
         {{77, {5173}}}},
        {"warning lines and wildcard ports",
         header + QStringLiteral("lsof: WARNING: can't stat() fuse file system /run/user/1000/doc\n"
                                 "      Output information may be incomplete.\n"
                                 "x 9 dev 1u IPv4 0x1 0t0 TCP *:* (LISTEN)\n"
                                 "node 8 dev 1u IPv4 0x1 0t0 TCP *:8080 (LISTEN)\n"),
         {{8, {8080}}}},
    };
    for (const Case &c : cases)
        EXPECT_EQ(PortProbe::listeningPorts(c.text), c.ports) << c.label;
}

TEST(PortProbe, establishedCountsFromNetstat)
{
    // Three browser connections to 44657: the server's halves count there, the clients' halves
    // under their own ephemeral ports.
    EXPECT_EQ(PortProbe::establishedCounts(fixture("netstat_linux.txt")),
              (PortProbe::EstablishedCounts{{44657, 3}, {60146, 1}, {60156, 1}, {60164, 1}}));

    struct Case
    {
        const char *label;
        QString text;
        PortProbe::EstablishedCounts counts;
    };
    const Case cases[] = {
        {"empty", QString(), {}},
        {"BSD netstat",
         QStringLiteral(
             "Active Internet connections (including servers)\n"
             "Proto Recv-Q Send-Q  Local Address          Foreign Address        (state)\n"
             "tcp4       0      0  127.0.0.1.3000         127.0.0.1.52044        ESTABLISHED\n"
             "tcp4       0      0  127.0.0.1.3000         127.0.0.1.52045        ESTABLISHED\n"
             "tcp6       0      0  ::1.3000               ::1.52046              ESTABLISHED\n"
             "tcp4       0      0  *.3000                 *.*                    LISTEN\n"
             "tcp4       0      0  127.0.0.1.3000         127.0.0.1.52040        TIME_WAIT\n"),
         {{3000, 3}}},
        {"a dual-stack listener's IPv4 connection shows as tcp6",
         QStringLiteral(
             "tcp6       0      0 127.0.0.1:5173          127.0.0.1:40000         ESTABLISHED\n"
             "tcp6       0      0 ::ffff:127.0.0.1:5173   ::ffff:127.0.0.1:40001  ESTABLISHED\n"),
         {{5173, 2}}},
        {"too few fields", QStringLiteral("tcp 0 127.0.0.1:3000 ESTABLISHED\n"), {}},
        {"state in lower case",
         QStringLiteral("tcp 0 0 127.0.0.1:3000 1.2.3.4:5 established\n"),
         {}},
    };
    for (const Case &c : cases)
        EXPECT_EQ(PortProbe::establishedCounts(c.text), c.counts) << c.label;
}

TEST(ToolOutputParsers, hugeAndHostileInputStaysLinear)
{
    const QString megabyteLine =
        QString(1 << 20, u'7') + QStringLiteral(" 1 1 1:00 ") + QString(1 << 20, u'x');
    const QString manyLines =
        QStringLiteral("h\n") + QStringLiteral("1 1 1 0:00 a\n").repeated(100'000);
    QString colons = QStringLiteral("1:").repeated(500'000);
    QElapsedTimer clock;
    clock.start();
    EXPECT_TRUE(ProcessTree::parse(QStringLiteral("h\n") + megabyteLine).isEmpty());
    EXPECT_EQ(ProcessTree::parse(manyLines).size(), 100'000);
    EXPECT_EQ(ProcessTree::usage(1, ProcessTree::parse(manyLines)).processCount(),
              1); // all one pid
    EXPECT_EQ(ProcessTree::parseCPUTime(colons), 0.0);
    EXPECT_TRUE(PortProbe::listeningPorts(QStringLiteral("h\n") + megabyteLine).isEmpty());
    EXPECT_EQ(PortProbe::establishedCounts(megabyteLine + QStringLiteral(" ESTABLISHED")).size(),
              1);
    EXPECT_EQ(ProcessRow{.command = QString(1 << 20, u'/')}.label(), "(不明)");
    EXPECT_LT(clock.elapsed(), 5000); // under the sanitizers; quadratic work would take minutes
}
