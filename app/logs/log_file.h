// One log file on disk: its last lines read from the end only, and what is appended to it later.
#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

#include <optional>
#include <sys/types.h>

class QFileSystemWatcher;
class QTimer;

namespace nimbrel {

struct FileIdentity
{
    dev_t device = 0;
    ino_t inode = 0;
    bool operator==(const FileIdentity &) const = default;
};

struct FileTail
{
    QByteArray bytes;      // the last lines, at most `maxTailBytes`
    bool fromStart = true; // the bytes begin at the file's start
    int64_t end = 0;       // the file's size when read: following starts here
    FileIdentity identity{};
    std::optional<int> error{}; // errno of a file that cannot be opened or read
};

// The bytes of the last `lines` lines of `path`, read backwards from its end in blocks: a 2 GB
// log costs what a small one does. Lines beyond `maxBytes` in all are left out.
FileTail readTail(const QString &path, int lines, qsizetype maxBytes = 4 << 20);

// Reports what is appended to a file from an offset on. A file that shrinks (`pm2 flush`) or is
// replaced by another (logrotate) is read again from its new start.
class FileFollower : public QObject
{
    Q_OBJECT

public:
    // At most this much of a sudden growth is read; older bytes of it are skipped.
    static constexpr int64_t maxReadBytes = 4 << 20;

    FileFollower(QString path, const FileTail &tail, QObject *parent = nullptr);
    const QString &path() const { return path_; }
    // Looks at the file now; the watcher and a slow timer call it too.
    void check();
    // While another source delivers the new bytes, the file is only kept track of: its new
    // bytes are passed over, so that following it again later does not repeat them.
    void setQuiet(bool quiet) { quiet_ = quiet; }

signals:
    void appended(const QByteArray &bytes);
    // The file was emptied or replaced; `appended` continues from its new start.
    void restarted();
    void errorChanged(std::optional<int> error);

private:
    void setError(std::optional<int> error);
    void watch();

    QString path_;
    int64_t offset_;
    FileIdentity identity_;
    std::optional<int> error_;
    bool quiet_ = false;
    QFileSystemWatcher *watcher_;
    QTimer *poll_;
};

} // namespace nimbrel
