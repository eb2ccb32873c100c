#include "app/system/system_probe.h"

#include "app/system/shell.h"
#include "core/proc_files.h"

#include <QFile>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <limits>
#include <memory>
#include <unistd.h>
#include <utility>
#include <vector>

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

SystemSnapshot snapshot(const std::optional<QList<int64_t>> &roots)
{
    if (std::optional<SystemSnapshot> fromProc = procSnapshot(QStringLiteral("/proc"), roots))
        return std::move(*fromProc);
    return snapshot(locateTools());
}

namespace {

class Descriptor
{
public:
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }
    Descriptor(const Descriptor &) = delete;
    Descriptor &operator=(const Descriptor &) = delete;
    int get() const { return fd_; }
    int release() { return std::exchange(fd_, -1); }

private:
    int fd_;
};

struct DirectoryCloser
{
    void operator()(DIR *directory) const { ::closedir(directory); }
};
using Directory = std::unique_ptr<DIR, DirectoryCloser>;

// The whole of a /proc file into `buffer` (reused between files); false when it cannot be opened
// or read, as when its process has just ended. A read that leaves room in the buffer and brings
// fewer than `endsBelow` bytes is the end: a system call fewer per file, and for the TCP tables
// a walk of the kernel's whole connection hash fewer (see pagedEndsBelow).
bool readFile(int directory, const char *name, QByteArray &buffer,
              qsizetype endsBelow = std::numeric_limits<qsizetype>::max())
{
    const Descriptor file(::openat(directory, name, O_RDONLY | O_CLOEXEC));
    if (file.get() < 0)
        return false;
    qsizetype used = 0;
    buffer.resize(std::max<qsizetype>(buffer.capacity(), 4096));
    for (;;) {
        const qsizetype room = buffer.size() - used;
        const ssize_t got = ::read(file.get(), buffer.data() + used, size_t(room));
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return false;
        used += got;
        // A process's own files come whole in one read when the buffer holds them.
        if (got == 0 || (got < room && got < endsBelow))
            break;
        if (used == buffer.size())
            buffer.resize(buffer.size() * 2);
    }
    buffer.truncate(used);
    return true;
}

// The TCP tables and the children lists are written a page at a time: a read stops short of a
// page only at the end or where the next line (150 bytes in tcp, under 200 in tcp6, a pid in a
// children list) would not fit. So a read well short of a page is the end, and for the TCP
// tables the read that would confirm it is spared: each read walks the kernel's connection hash
// from where the last one stopped, 2 ms and more on a machine with a large hash, however few the
// sockets. A read of a whole page is not the end: a process with a thousand children fills more.
constexpr qsizetype pagedEndsBelow = 4096 - 512;

// The ports a process listens on: its socket descriptors whose inodes are listening sockets.
// Their whole addresses go to `addresses`.
QSet<int64_t> listeningPortsOf(int process, const ProcFiles::TcpSockets &sockets,
                               QList<ProcFiles::ListenAddress> &addresses)
{
    const QHash<uint64_t, int64_t> &listening = sockets.listening;
    QSet<int64_t> ports;
    Descriptor fdDirectory(::openat(process, "fd", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fdDirectory.get() < 0)
        return ports; // another user's process: its descriptors are closed to us
    const Directory entries(::fdopendir(fdDirectory.get()));
    if (!entries)
        return ports;
    const int descriptors = fdDirectory.release();
    char target[64];
    while (const dirent *entry = ::readdir(entries.get())) {
        if (entry->d_type != DT_LNK && entry->d_type != DT_UNKNOWN)
            continue;
        const ssize_t length = ::readlinkat(descriptors, entry->d_name, target, sizeof target);
        if (length <= 0 || length == sizeof target)
            continue;
        const auto inode = ProcFiles::socketInode(QByteArrayView(target, length));
        if (!inode)
            continue;
        if (const auto port = listening.constFind(*inode); port != listening.constEnd()) {
            ports.insert(*port);
            if (const auto address = sockets.addresses.constFind(*inode);
                address != sockets.addresses.constEnd())
                addresses.append(*address);
        }
    }
    return ports;
}

// What every process read of one snapshot shares: the sockets, the clock and page sizes, and
// buffers reused from one process to the next.
class ProcessReader
{
public:
    explicit ProcessReader(const ProcFiles::TcpSockets &sockets) : sockets_(sockets) {}

    // Adds the process whose /proc directory is open as `process`: its row, and its ports when
    // something listens at all. False when it ended while we read.
    bool read(int process, SystemSnapshot &snapshot)
    {
        if (!readFile(process, "stat", stat_) || !readFile(process, "statm", statm_) ||
            !readFile(process, "cmdline", cmdline_))
            return false;
        const std::optional<ProcFiles::Stat> stat = ProcFiles::parseStat(stat_);
        std::optional<ProcessRow> row =
            stat ? ProcFiles::row(*stat, statm_, cmdline_, ticksPerSecond_, pageSize_)
                 : std::nullopt;
        if (!row)
            return false;
        snapshot.startTicks.insert(row->pid, stat->startTicks);
        if (!sockets_.listening.isEmpty()) {
            QList<ProcFiles::ListenAddress> addresses;
            if (QSet<int64_t> ports = listeningPortsOf(process, sockets_, addresses);
                !ports.isEmpty()) {
                snapshot.listeningPorts.insert(row->pid, std::move(ports));
                snapshot.listeningAddresses.insert(row->pid, std::move(addresses));
            }
        }
        snapshot.processes.append(std::move(*row));
        return true;
    }

    // Appends the children every thread of `pid` started, from task/TID/children. False when the
    // kernel has no such file (or keeps it from us) although the process is there.
    bool addChildren(int process, int64_t pid, std::vector<int64_t> &pending)
    {
        Descriptor tasks(::openat(process, "task", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        const Directory threads(tasks.get() < 0 ? nullptr : ::fdopendir(tasks.get()));
        if (!threads)
            return !stillThere(process);
        const int taskDescriptor = tasks.release();
        bool leaderRead = false;
        char path[sizeof(dirent::d_name) + sizeof "/children"];
        while (const dirent *entry = ::readdir(threads.get())) {
            if (!ProcFiles::isPid(entry->d_name))
                continue;
            std::snprintf(path, sizeof path, "%s/children", entry->d_name);
            // A thread may end while we read; its children then belong to another one.
            if (!readFile(taskDescriptor, path, children_, pagedEndsBelow))
                continue;
            leaderRead |= std::strtoll(entry->d_name, nullptr, 10) == pid;
            const QList<int64_t> pids = ProcFiles::childPids(children_);
            pending.insert(pending.end(), pids.begin(), pids.end());
        }
        // The leader's entry stays while any thread lives, so its missing file means no file.
        return leaderRead || !stillThere(process);
    }

private:
    static bool stillThere(int process) { return ::faccessat(process, "stat", F_OK, 0) == 0; }

    const ProcFiles::TcpSockets &sockets_;
    const int64_t ticksPerSecond_ = ::sysconf(_SC_CLK_TCK);
    const int64_t pageSize_ = ::sysconf(_SC_PAGESIZE);
    QByteArray stat_;
    QByteArray statm_;
    QByteArray cmdline_;
    QByteArray children_;
};

// Every process of the listing.
void readAll(int root, DIR *listing, ProcessReader &reader, SystemSnapshot &snapshot)
{
    while (const dirent *entry = ::readdir(listing)) {
        if (!ProcFiles::isPid(entry->d_name))
            continue;
        const Descriptor process(::openat(root, entry->d_name, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (process.get() >= 0)
            reader.read(process.get(), snapshot);
    }
}

// The trees under `roots`, descending through each member's children. False when the kernel
// cannot name children: only a full scan finds them then.
bool readTrees(int root, const QList<int64_t> &roots, ProcessReader &reader,
               SystemSnapshot &snapshot)
{
    std::vector<int64_t> pending(roots.begin(), roots.end());
    QSet<int64_t> seen;
    char name[24];
    while (!pending.empty()) {
        const int64_t pid = pending.back();
        pending.pop_back();
        if (pid <= 0 || seen.contains(pid))
            continue;
        seen.insert(pid);
        std::snprintf(name, sizeof name, "%lld", static_cast<long long>(pid));
        const Descriptor process(::openat(root, name, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (process.get() < 0 || !reader.read(process.get(), snapshot))
            continue; // no such process, or it ended while we read
        if (!reader.addChildren(process.get(), pid, pending))
            return false;
    }
    // In the order of a full scan, which is the order of pids.
    std::ranges::sort(snapshot.processes, {}, &ProcessRow::pid);
    return true;
}

} // namespace

std::optional<SystemSnapshot> procSnapshot(const QString &root,
                                           const std::optional<QList<int64_t>> &roots)
{
    const QByteArray rootPath = QFile::encodeName(root);
    const Descriptor rootDescriptor(
        ::open(rootPath.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (rootDescriptor.get() < 0)
        return std::nullopt;

    // Sockets first: a process's descriptors are only worth reading when something listens.
    ProcFiles::TcpSockets sockets;
    QByteArray buffer;
    if (!readFile(rootDescriptor.get(), "net/tcp", buffer, pagedEndsBelow))
        return std::nullopt;
    ProcFiles::addTcpTable(buffer, sockets);
    // tcp6 is absent where IPv6 is off.
    if (readFile(rootDescriptor.get(), "net/tcp6", buffer, pagedEndsBelow))
        ProcFiles::addTcpTable(buffer, sockets);

    ProcessReader reader(sockets);
    SystemSnapshot snapshot;
    if (!roots || !readTrees(rootDescriptor.get(), *roots, reader, snapshot)) {
        snapshot = {};
        const Directory listing(::opendir(rootPath.constData()));
        if (!listing)
            return std::nullopt;
        readAll(rootDescriptor.get(), listing.get(), reader, snapshot);
        // A /proc that shows no process at all (not even us) is not one to trust.
        if (snapshot.processes.isEmpty())
            return std::nullopt;
    }
    snapshot.establishedCounts = std::move(sockets.establishedCounts);
    snapshot.takenAt = now();
    snapshot.steadyAt = steadyNow();
    return snapshot;
}

PortProbe::ListeningPorts listeningPorts(const QList<int64_t> &pids, const QString &root)
{
    PortProbe::ListeningPorts ports;
    const QByteArray rootPath = QFile::encodeName(root);
    const Descriptor rootDescriptor(
        ::open(rootPath.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    ProcFiles::TcpSockets sockets;
    QByteArray buffer;
    if (pids.isEmpty() || rootDescriptor.get() < 0)
        return ports;
    for (const char *table : {"net/tcp", "net/tcp6"}) {
        if (readFile(rootDescriptor.get(), table, buffer, pagedEndsBelow))
            ProcFiles::addTcpTable(buffer, sockets);
    }
    if (sockets.listening.isEmpty())
        return ports;
    char name[24];
    for (const int64_t pid : pids) {
        std::snprintf(name, sizeof name, "%lld", static_cast<long long>(pid));
        const Descriptor process(
            ::openat(rootDescriptor.get(), name, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (process.get() < 0)
            continue;
        QList<ProcFiles::ListenAddress> addresses;
        if (QSet<int64_t> listening = listeningPortsOf(process.get(), sockets, addresses);
            !listening.isEmpty())
            ports.insert(pid, std::move(listening));
    }
    return ports;
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
    snapshot.steadyAt = steadyNow();
    return snapshot;
}

} // namespace nimbrel::SystemProbe
