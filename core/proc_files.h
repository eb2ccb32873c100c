// The texts of Linux's /proc that make one snapshot: /proc/PID/stat and /proc/PID/cmdline for
// the process table, /proc/net/tcp and tcp6 for sockets, and the targets of /proc/PID/fd links.
// The same records the ps, lsof and netstat parsers give, at the kernel's own precision.
#pragma once

#include "core/port_probe.h"
#include "core/process_tree.h"

#include <QByteArrayView>
#include <QHash>
#include <QList>

#include <array>
#include <compare>
#include <cstdint>
#include <optional>

namespace nimbrel::ProcFiles {

struct Stat
{
    int64_t pid = 0;
    int64_t ppid = 0;
    QByteArrayView comm{}; // a view into the text it was read from
    int64_t cpuTicks = 0;  // utime + stime: every thread of the process, no children
    // When the process started, in clock ticks since boot: with the pid, what tells a process
    // from a later one that was given the same pid.
    int64_t startTicks = 0;
};

// "pid (comm) state ppid ...": comm may hold spaces and parentheses, so the fields are counted
// from its last ")". Nothing when a field is missing or not a number.
std::optional<Stat> parseStat(QByteArrayView text);

// The command line as `ps -o args` prints it: arguments joined by spaces, control characters
// shown as "?", "[comm]" when there are none (kernel threads, zombies); ends trimmed.
QString commandLine(QByteArrayView cmdline, QByteArrayView comm);

// Resident pages, the second field of /proc/PID/statm. Not stat's rss field: since 6.x kernels
// that one is a per-CPU estimate, off by dozens of pages from what ps shows, while statm (like
// the VmRSS that ps reads) sums the counters exactly.
std::optional<int64_t> residentPages(QByteArrayView statm);

// One process of the table; CPU seconds at clock-tick precision (1/ticksPerSecond s).
std::optional<ProcessRow> row(QByteArrayView stat, QByteArrayView statm, QByteArrayView cmdline,
                              int64_t ticksPerSecond, int64_t pageSize);
std::optional<ProcessRow> row(const Stat &stat, QByteArrayView statm, QByteArrayView cmdline,
                              int64_t ticksPerSecond, int64_t pageSize);

// The marks pm2 leaves in the environment of every process an app starts, children included
// (/proc/PID/environ: NUL-separated NAME=VALUE). Views into the text; empty or absent when
// the environment lacks them.
struct PM2Marks
{
    QByteArrayView home{}; // PM2_HOME
    QByteArrayView name{}; // name
    std::optional<int64_t> pmId{};
};
PM2Marks pm2Marks(QByteArrayView environ);

// The pids of /proc/PID/task/TID/children ("41 57 "): the children that thread started. A word
// that is no pid ends the list.
QList<int64_t> childPids(QByteArrayView children);

// The inode of an fd link's target "socket:[12345]"; nothing for files, pipes and the rest.
std::optional<uint64_t> socketInode(QByteArrayView linkTarget);

// A listening socket's local address: IPv4 or IPv6, the address bytes in network order (the
// first 4 for IPv4) and the port.
struct ListenAddress
{
    bool v6 = false;
    std::array<uint8_t, 16> bytes{};
    int64_t port = 0;

    bool isWildcard() const;
    bool isLoopback() const;
    auto operator<=>(const ListenAddress &) const = default;
};

// "0100007F:0BB8" (127.0.0.1:3000) of a tcp table: 8 or 32 hex digits, each group of 8 one
// 32-bit word in the machine's own byte order, then the port. Nothing for anything else.
std::optional<ListenAddress> listenAddress(QByteArrayView local);

// The TCP sockets of /proc/net/tcp and tcp6 that a snapshot needs.
struct TcpSockets
{
    QHash<uint64_t, int64_t> listening{};             // socket inode -> its local port
    QHash<uint64_t, ListenAddress> addresses{};       // socket inode -> its whole local address
    PortProbe::EstablishedCounts establishedCounts{}; // as netstat counts them
};

// Adds the sockets of one table ("sl local_address rem_address st ... inode"), IPv4 or IPv6.
void addTcpTable(QByteArrayView text, TcpSockets &sockets);

// True for a /proc entry that names a process: digits only, at least one.
bool isPid(const char *name);

} // namespace nimbrel::ProcFiles
