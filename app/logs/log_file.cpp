#include "app/logs/log_file.h"

#include "core/log_tail.h"

#include <QFileInfo>
#include <QFileSystemWatcher>
#include <QTimer>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace nimbrel {

namespace {

constexpr qsizetype blockBytes = 64 * 1024;
// inotify misses a file replaced under the same name until it is watched again, and some file
// systems send nothing at all; a cheap stat every second covers both.
constexpr int pollMs = 1000;

class Descriptor
{
public:
    explicit Descriptor(const QString &path)
        : fd_(::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC))
    {}
    ~Descriptor()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }
    Descriptor(const Descriptor &) = delete;
    Descriptor &operator=(const Descriptor &) = delete;
    int fd() const { return fd_; }

private:
    int fd_;
};

// Reads exactly `size` bytes at `offset`, unless the file ends first.
bool readAt(int fd, char *into, qsizetype size, int64_t offset, qsizetype &got)
{
    got = 0;
    while (got < size) {
        const ssize_t n = ::pread(fd, into + got, size_t(size - got), off_t(offset + got));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        if (n == 0)
            break;
        got += n;
    }
    return true;
}

} // namespace

FileTail readTail(const QString &path, int lines, qsizetype maxBytes)
{
    FileTail tail;
    const Descriptor file(path);
    struct stat status
    {};
    if (file.fd() < 0 || ::fstat(file.fd(), &status) != 0) {
        tail.error = errno;
        return tail;
    }
    tail.identity = {status.st_dev, status.st_ino};
    tail.end = status.st_size;
    int64_t start = tail.end;
    int newlines = 0;
    // Whole blocks from the end until enough lines are in (one newline more than lines: the
    // first line must be whole) or the bound is reached.
    while (start > 0 && newlines <= lines && tail.bytes.size() < maxBytes) {
        const qsizetype size = qsizetype(
            std::min<int64_t>({blockBytes, start, int64_t(maxBytes - tail.bytes.size())}));
        QByteArray block(size, Qt::Uninitialized);
        qsizetype got = 0;
        if (!readAt(file.fd(), block.data(), size, start - size, got)) {
            tail.error = errno;
            return tail;
        }
        block.truncate(got);
        start -= size;
        newlines += int(block.count('\n'));
        tail.bytes.prepend(block);
    }
    tail.fromStart = start == 0;
    tail.bytes.remove(0, LogTail::startOfLastLines(tail.bytes, lines, tail.fromStart));
    return tail;
}

FileFollower::FileFollower(QString path, const FileTail &tail, QObject *parent)
    : QObject(parent), path_(std::move(path)), offset_(tail.end), identity_(tail.identity),
      error_(tail.error), watcher_(new QFileSystemWatcher(this)), poll_(new QTimer(this))
{
    connect(watcher_, &QFileSystemWatcher::fileChanged, this, &FileFollower::check);
    connect(watcher_, &QFileSystemWatcher::directoryChanged, this, &FileFollower::check);
    connect(poll_, &QTimer::timeout, this, &FileFollower::check);
    poll_->start(pollMs);
    watch();
}

void FileFollower::watch()
{
    if (!watcher_->files().isEmpty())
        watcher_->removePaths(watcher_->files());
    if (QFileInfo::exists(path_))
        watcher_->addPath(path_);
    const QString folder = QFileInfo(path_).absolutePath();
    if (watcher_->directories().isEmpty() && QFileInfo::exists(folder))
        watcher_->addPath(folder);
}

void FileFollower::check()
{
    const Descriptor file(path_);
    struct stat status
    {};
    if (file.fd() < 0 || ::fstat(file.fd(), &status) != 0) {
        setError(errno);
        return;
    }
    if (S_ISDIR(status.st_mode)) {
        setError(EISDIR);
        return;
    }
    setError(std::nullopt);
    const FileIdentity identity{status.st_dev, status.st_ino};
    if (identity != identity_ || status.st_size < offset_) {
        const bool replaced = identity != identity_;
        identity_ = identity;
        offset_ = 0;
        if (replaced)
            watch();
        emit restarted();
    }
    if (status.st_size == offset_)
        return;
    if (quiet_) {
        offset_ = status.st_size;
        return;
    }
    const int64_t from = std::max(offset_, int64_t(status.st_size) - maxReadBytes);
    QByteArray bytes(qsizetype(status.st_size - from), Qt::Uninitialized);
    qsizetype got = 0;
    if (!readAt(file.fd(), bytes.data(), bytes.size(), from, got)) {
        setError(errno);
        return;
    }
    bytes.truncate(got);
    offset_ = from + got;
    if (!bytes.isEmpty())
        emit appended(bytes);
}

void FileFollower::setError(std::optional<int> error)
{
    if (error == error_)
        return;
    error_ = error;
    emit errorChanged(error);
}

} // namespace nimbrel
