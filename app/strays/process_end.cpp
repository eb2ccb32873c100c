#include "app/strays/process_end.h"

#include "core/proc_files.h"

#include <QElapsedTimer>
#include <QFile>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <vector>

// Through syscall(): glibc 2.36's <sys/pidfd.h> declares its wrappers without C linkage, and
// older ones have none.
namespace {
int openPidfd(pid_t pid)
{
    return int(::syscall(SYS_pidfd_open, pid, 0));
}
int sendSignal(int pidfd, int signal)
{
    return int(::syscall(SYS_pidfd_send_signal, pidfd, signal, nullptr, 0));
}
} // namespace

namespace nimbrel::Strays {

std::optional<ProcessKey> keyOf(int64_t pid, const QString &root)
{
    if (pid <= 1 || pid == ::getpid())
        return std::nullopt;
    const QByteArray directory = QFile::encodeName(root) + '/' + QByteArray::number(pid);
    struct stat owner
    {};
    if (::stat(directory.constData(), &owner) != 0 || owner.st_uid != ::geteuid())
        return std::nullopt;
    QFile file(QFile::decodeName(directory + "/stat"));
    if (!file.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        return std::nullopt;
    const std::optional<ProcFiles::Stat> stat = ProcFiles::parseStat(file.readAll());
    if (!stat || stat->pid != pid)
        return std::nullopt;
    return ProcessKey{pid, stat->startTicks};
}

namespace {

struct Target
{
    ProcessKey key;
    int pidfd = -1;
    bool gone = false;
};

// Waits until every target has ended or `ms` have passed.
void awaitEnd(std::vector<Target> &targets, int ms)
{
    QElapsedTimer clock;
    clock.start();
    for (;;) {
        std::vector<pollfd> waiting;
        std::vector<Target *> owners;
        for (Target &target : targets) {
            if (!target.gone) {
                waiting.push_back({target.pidfd, POLLIN, 0});
                owners.push_back(&target);
            }
        }
        const int left = ms - int(clock.elapsed());
        if (waiting.empty() || left <= 0)
            return;
        const int ready = ::poll(waiting.data(), waiting.size(), left);
        if (ready < 0 && errno != EINTR)
            return;
        for (size_t i = 0; i < waiting.size(); ++i)
            owners[i]->gone |= (waiting[i].revents & (POLLIN | POLLHUP | POLLERR)) != 0;
    }
}

void signalAll(std::vector<Target> &targets, int signal)
{
    for (Target &target : targets) {
        if (!target.gone && sendSignal(target.pidfd, signal) != 0)
            target.gone = errno == ESRCH;
    }
}

} // namespace

QList<ProcessKey> end(const QList<ProcessKey> &processes, const QString &root)
{
    std::vector<Target> targets;
    for (const ProcessKey &key : processes) {
        if (key.pid <= 1 || key.pid > INT32_MAX)
            continue;
        const int pidfd = openPidfd(pid_t(key.pid));
        if (pidfd < 0)
            continue; // already gone
        // Checked after the pidfd is open: from now on it names the process that had the pid
        // at that moment, so a match here is that same process, never a later one.
        if (keyOf(key.pid, root) != key) {
            ::close(pidfd);
            continue;
        }
        targets.push_back({key, pidfd});
    }
    signalAll(targets, SIGTERM);
    awaitEnd(targets, killTimeoutMs);
    signalAll(targets, SIGKILL);
    awaitEnd(targets, 1000);

    QList<ProcessKey> signalled;
    for (const Target &target : targets) {
        signalled.append(target.key);
        ::close(target.pidfd);
    }
    return signalled;
}

} // namespace nimbrel::Strays
