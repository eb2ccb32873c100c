#include "app/system_probe.h"

#include "app/shell.h"
#include "core/proc_files.h"

#include <QFile>

#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <unistd.h>
#include <utility>

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
    if (std::optional<SystemSnapshot> fromProc = procSnapshot())
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
// or read, as when its process has just ended. A process's own files come whole in one read when
// the buffer holds them, so there a short read is the end (`shortReadEnds`): a system call fewer
// per file, thousands a snapshot. The TCP tables are read to their end.
bool readFile(int directory, const char *name, QByteArray &buffer, bool shortReadEnds = true)
{
    const Descriptor file(::openat(directory, name, O_RDONLY | O_CLOEXEC));
    if (file.get() < 0)
        return false;
    qsizetype used = 0;
    buffer.resize(std::max<qsizetype>(buffer.capacity(), 4096));
    for (;;) {
        const ssize_t got = ::read(file.get(), buffer.data() + used, size_t(buffer.size() - used));
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return false;
        used += got;
        if (got == 0 || (shortReadEnds && used < buffer.size()))
            break;
        if (used < buffer.size())
            continue;
        buffer.resize(buffer.size() * 2);
    }
    buffer.truncate(used);
    return true;
}

// The ports a process listens on: its socket descriptors whose inodes are listening sockets.
QSet<int64_t> listeningPortsOf(int process, const QHash<uint64_t, int64_t> &listening)
{
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
        if (const auto port = listening.constFind(*inode); port != listening.constEnd())
            ports.insert(*port);
    }
    return ports;
}

bool isPid(const char *name)
{
    if (*name == '\0')
        return false;
    for (; *name; ++name) {
        if (*name < '0' || *name > '9')
            return false;
    }
    return true;
}

} // namespace

std::optional<SystemSnapshot> procSnapshot(const QString &root)
{
    const QByteArray rootPath = QFile::encodeName(root);
    const Descriptor rootDescriptor(
        ::open(rootPath.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (rootDescriptor.get() < 0)
        return std::nullopt;

    // Sockets first: a process's descriptors are only worth reading when something listens.
    ProcFiles::TcpSockets sockets;
    QByteArray buffer;
    if (!readFile(rootDescriptor.get(), "net/tcp", buffer, false))
        return std::nullopt;
    ProcFiles::addTcpTable(buffer, sockets);
    if (readFile(rootDescriptor.get(), "net/tcp6", buffer, false)) // absent where IPv6 is off
        ProcFiles::addTcpTable(buffer, sockets);

    const Directory listing(::opendir(rootPath.constData()));
    if (!listing)
        return std::nullopt;
    const int64_t ticksPerSecond = ::sysconf(_SC_CLK_TCK);
    const int64_t pageSize = ::sysconf(_SC_PAGESIZE);
    SystemSnapshot snapshot;
    QByteArray stat;
    QByteArray statm;
    while (const dirent *entry = ::readdir(listing.get())) {
        if (!isPid(entry->d_name))
            continue;
        const Descriptor process(
            ::openat(rootDescriptor.get(), entry->d_name, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (process.get() < 0 || !readFile(process.get(), "stat", stat) ||
            !readFile(process.get(), "statm", statm) || !readFile(process.get(), "cmdline", buffer))
            continue; // ended while we read
        std::optional<ProcessRow> row =
            ProcFiles::row(stat, statm, buffer, ticksPerSecond, pageSize);
        if (!row)
            continue;
        if (!sockets.listening.isEmpty()) {
            if (QSet<int64_t> ports = listeningPortsOf(process.get(), sockets.listening);
                !ports.isEmpty())
                snapshot.listeningPorts.insert(row->pid, std::move(ports));
        }
        snapshot.processes.append(std::move(*row));
    }
    // A /proc that shows no process at all (not even us) is not one to trust.
    if (snapshot.processes.isEmpty())
        return std::nullopt;
    snapshot.establishedCounts = std::move(sockets.establishedCounts);
    snapshot.takenAt = now();
    return snapshot;
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
