#include "app/system_probe.h"

#include "app/shell.h"

namespace nimbrel::SystemProbe {

QStringList lsofCandidates()
{
    return {QStringLiteral("/usr/sbin/lsof"), QStringLiteral("/usr/bin/lsof"),
            QStringLiteral("/sbin/lsof"), QStringLiteral("/bin/lsof")};
}

QStringList netstatCandidates()
{
    return {QStringLiteral("/usr/sbin/netstat"), QStringLiteral("/usr/bin/netstat"),
            QStringLiteral("/bin/netstat")};
}

Tools locateTools()
{
    const QStringList lsof = lsofCandidates();
    const QStringList netstat = netstatCandidates();
    return {.ps = QStringLiteral("/bin/ps"),
            .lsof = Shell::firstExecutable(lsof).value_or(lsof.front()),
            .netstat = Shell::firstExecutable(netstat).value_or(netstat.front())};
}

SystemSnapshot snapshot()
{
    return snapshot(locateTools());
}

SystemSnapshot snapshot(const Tools &tools)
{
    const Shell::Result ps =
        Shell::run(tools.ps, {QStringLiteral("-Ao"), QStringLiteral("pid,ppid,rss,time,args")},
                   std::nullopt, tools.timeout);
    const Shell::Result lsof =
        Shell::run(tools.lsof,
                   {QStringLiteral("-nP"), QStringLiteral("-iTCP"), QStringLiteral("-sTCP:LISTEN")},
                   std::nullopt, tools.timeout);
    // -ant: all TCP sockets, numeric. (Linux's -p would make netstat walk every process.)
    const Shell::Result netstat =
        Shell::run(tools.netstat, {QStringLiteral("-ant")}, std::nullopt, tools.timeout);

    SystemSnapshot snapshot;
    snapshot.processes = ProcessTree::parse(ps.output);
    snapshot.listeningPorts = PortProbe::listeningPorts(lsof.output);
    snapshot.establishedCounts = PortProbe::establishedCounts(netstat.output);
    snapshot.takenAt = now();
    return snapshot;
}

} // namespace nimbrel::SystemProbe
