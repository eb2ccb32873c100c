#include "app/strays/stray_scan.h"

#include "app/pm2/pm2_socket.h"
#include "app/system/system_probe.h"
#include "core/proc_files.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace nimbrel::Strays {

QString pm2Home()
{
    return QFileInfo(PM2Socket::path()).path();
}

std::optional<int64_t> daemonPid(const QString &home)
{
    QFile file(home + QStringLiteral("/pm2.pid"));
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    bool ok = false;
    const int64_t pid = file.readAll().trimmed().toLongLong(&ok);
    return ok ? std::optional(pid) : std::nullopt;
}

namespace {

// The whole of a small /proc file of the process open as `process`; false when unreadable.
bool readAt(int process, const char *name, QByteArray &buffer)
{
    const int file = ::openat(process, name, O_RDONLY | O_CLOEXEC);
    if (file < 0)
        return false;
    qsizetype used = 0;
    buffer.resize(std::max<qsizetype>(buffer.capacity(), 16384));
    for (;;) {
        if (used == buffer.size())
            buffer.resize(buffer.size() * 2);
        const ssize_t got = ::read(file, buffer.data() + used, size_t(buffer.size() - used));
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0) {
            ::close(file);
            buffer.truncate(used);
            return got == 0;
        }
        used += got;
    }
}

struct DirectoryCloser
{
    void operator()(DIR *directory) const { ::closedir(directory); }
};

} // namespace

QHash<int64_t, QList<ProcessKey>> marked(const QList<AppMark> &apps, const QString &home,
                                         const QString &root)
{
    QHash<int64_t, QList<ProcessKey>> found;
    if (apps.isEmpty())
        return found;
    QHash<int64_t, QByteArray> names; // pm_id -> name
    for (const AppMark &app : apps)
        names.insert(app.pmId, app.name.toUtf8());
    const QByteArray ourHome = QFile::encodeName(QDir::cleanPath(home));
    const std::optional<int64_t> daemon = daemonPid(home);
    const int64_t self = ::getpid();
    const uid_t user = ::geteuid();

    const QByteArray rootPath = QFile::encodeName(root);
    const std::unique_ptr<DIR, DirectoryCloser> listing(::opendir(rootPath.constData()));
    if (!listing)
        return found;
    const int rootDescriptor = ::dirfd(listing.get());
    QByteArray environ;
    QByteArray stat;
    while (const dirent *entry = ::readdir(listing.get())) {
        if (!ProcFiles::isPid(entry->d_name))
            continue;
        const int64_t pid = std::strtoll(entry->d_name, nullptr, 10);
        if (pid <= 1 || pid == self || pid == daemon)
            continue;
        // Another user's environment is closed to us anyway; the owner costs one stat call.
        struct stat owner
        {};
        if (::fstatat(rootDescriptor, entry->d_name, &owner, 0) != 0 || owner.st_uid != user)
            continue;
        const int process =
            ::openat(rootDescriptor, entry->d_name, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (process < 0)
            continue;
        std::optional<ProcessKey> key;
        if (readAt(process, "environ", environ) && environ.contains("pm_id=")) {
            const ProcFiles::PM2Marks marks = ProcFiles::pm2Marks(environ);
            const auto name = marks.pmId ? names.constFind(*marks.pmId) : names.constEnd();
            if (name != names.constEnd() && marks.name == *name &&
                QDir::cleanPath(QFile::decodeName(marks.home.toByteArray())) ==
                    QFile::decodeName(ourHome) &&
                readAt(process, "stat", stat)) {
                if (const auto read = ProcFiles::parseStat(stat); read && read->pid == pid)
                    found[*marks.pmId].append({pid, read->startTicks});
            }
        }
        ::close(process);
    }
    return found;
}

QList<ProcessKey> living(const QList<ProcessKey> &keys, const QString &root)
{
    QList<ProcessKey> alive;
    for (const ProcessKey &key : keys) {
        if (!alive.contains(key) && keyOf(key.pid, root) == key)
            alive.append(key);
    }
    return alive;
}

QList<Stray> withPorts(const QList<ProcessKey> &keys, const QString &root)
{
    QList<int64_t> pids;
    for (const ProcessKey &key : keys)
        pids.append(key.pid);
    const PortProbe::ListeningPorts ports = SystemProbe::listeningPorts(pids, root);
    QList<Stray> strays;
    for (const ProcessKey &key : keys) {
        const QSet<int64_t> held = ports.value(key.pid);
        QList<int64_t> sorted(held.begin(), held.end());
        std::ranges::sort(sorted);
        strays.append({key, sorted});
    }
    return strays;
}

} // namespace nimbrel::Strays
