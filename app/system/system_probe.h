// One picture of the machine per refresh: every process, who listens on which TCP port, and how
// many connections each port holds.
#pragma once

#include "core/instant.h"
#include "core/port_probe.h"
#include "core/proc_files.h"
#include "core/process_tree.h"

#include <QHash>
#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

namespace nimbrel {

struct SystemSnapshot
{
    QList<ProcessRow> processes{};
    PortProbe::ListeningPorts listeningPorts{};
    PortProbe::EstablishedCounts establishedCounts{};
    Instant takenAt{};        // when all three tools had finished and been parsed
    SteadyInstant steadyAt{}; // the same moment, for the intervals between snapshots
    // pid -> the whole local addresses it listens on; from /proc only (the tools give ports).
    QHash<int64_t, QList<ProcFiles::ListenAddress>> listeningAddresses{};
    // pid -> when it started (/proc/PID/stat's field 22), read with its row; only from /proc.
    QHash<int64_t, int64_t> startTicks{};
};

namespace SystemProbe {

inline constexpr double toolTimeout = 20;

// The executables a snapshot runs.
struct Tools
{
    QString ps;
    QString lsof;
    QString netstat;
    double timeout = toolTimeout; // each tool's own limit
};

// /bin/ps, and the first executable lsof and netstat of their usual places (the first place
// when none is there: running it then fails like any missing tool).
Tools locateTools();
QStringList lsofCandidates();
QStringList netstatCandidates();

// The snapshot from /proc, else (no /proc, or one we cannot read) from the tools. Never fails.
// With `roots`, /proc is read only for the process trees under those pids (a few dozen files
// instead of tens of thousands on a busy machine); the other routes still give every process.
SystemSnapshot snapshot(const std::optional<QList<int64_t>> &roots = std::nullopt);

// Reads /proc (or a tree laid out like it at `root`): the process table from each PID/stat,
// PID/statm and PID/cmdline, sockets from net/tcp and net/tcp6 joined to pids through the PID/fd
// links. With `roots`, only the trees under them, found through PID/task/TID/children, and every
// process where the kernel has no such files. A process that vanishes mid-read is left out; one
// whose descriptors cannot be read listens on nothing. Established counts are always the whole
// machine's. Nothing when /proc cannot serve: not mounted, unreadable, or without net/tcp.
std::optional<SystemSnapshot>
procSnapshot(const QString &root = QStringLiteral("/proc"),
             const std::optional<QList<int64_t>> &roots = std::nullopt);

// The TCP ports each of `pids` listens on, from /proc (or a tree laid out like it at `root`).
PortProbe::ListeningPorts listeningPorts(const QList<int64_t> &pids,
                                         const QString &root = QStringLiteral("/proc"));

// Runs ps, lsof and netstat one after another, each within its limit, and parses them. Never
// fails: a tool that fails leaves its part empty.
SystemSnapshot snapshot(const Tools &tools);

} // namespace SystemProbe

} // namespace nimbrel
