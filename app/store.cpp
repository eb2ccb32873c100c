#include "app/store.h"

#include "app/system/system_error.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>
#include <QSaveFile>
#include <QStandardPaths>

#include <algorithm>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <fcntl.h>
#include <mutex>
#include <sys/file.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace nimbrel {

namespace {

// A damaged file is set aside before anything can overwrite it: the user may want it back. Every
// damaged version gets its own copy (Nimbrel.json.damaged, then .damaged.2, ...); one already
// kept is not kept twice.
void keepDamagedCopy(const QString &path, const QByteArray &contents)
{
    const QString first = path + QStringLiteral(".damaged");
    for (int number = 1;; ++number) {
        const QString copyPath = number == 1 ? first : first + u'.' + QString::number(number);
        QFile existing(copyPath);
        if (!existing.exists()) {
            QSaveFile copy(copyPath);
            if (copy.open(QIODevice::WriteOnly) && copy.write(contents) == contents.size())
                copy.commit();
            return;
        }
        if (existing.open(QIODevice::ReadOnly) && existing.readAll() == contents)
            return;
    }
}

// The file's bytes, or the system's error text when it exists and cannot be read (no permission,
// an I/O error, no descriptor left). Only a file that does not exist reads as empty.
struct FileContents
{
    QByteArray bytes;
    Store::WriteResult error;
};

FileContents readWholeFile(const QString &path)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return {{}, errno == ENOENT ? std::nullopt : std::optional(systemErrorText(errno))};
    FileContents contents;
    char buffer[16384];
    for (;;) {
        const ssize_t count = ::read(fd, buffer, sizeof buffer);
        if (count > 0) {
            contents.bytes.append(buffer, count);
        } else if (count == 0) {
            break;
        } else if (errno != EINTR) {
            contents = {{}, systemErrorText(errno)};
            break;
        }
    }
    ::close(fd);
    return contents;
}

bool parseSettings(const QByteArray &contents, QVariantMap &map)
{
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(contents, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return false;
    const QJsonObject object = document.object();
    for (auto it = object.begin(); it != object.end(); ++it)
        map.insert(it.key(), it.value().toVariant());
    return true;
}

QByteArray serialised(const QVariantMap &map)
{
    QJsonObject object;
    for (auto it = map.begin(); it != map.end(); ++it)
        object.insert(it.key(), QJsonValue::fromVariant(it.value()));
    return QJsonDocument(object).toJson(QJsonDocument::Indented);
}

bool readJson(QIODevice &device, QSettings::SettingsMap &map)
{
    const QByteArray contents = device.readAll();
    if (parseSettings(contents, map))
        return true;
    if (const auto *file = qobject_cast<const QFile *>(&device))
        keepDamagedCopy(file->fileName(), contents);
    return false;
}

bool writeJson(QIODevice &device, const QSettings::SettingsMap &map)
{
    const QByteArray contents = serialised(map);
    return device.write(contents) == contents.size();
}

QSettings::Format jsonFormat()
{
    static const QSettings::Format format =
        QSettings::registerFormat(QStringLiteral("json"), readJson, writeJson, Qt::CaseSensitive);
    return format;
}

// Serialises the writers of all processes, and keeps a reader from pairing the content it read
// with the stamp of a file another process renamed into place a moment later (QSettings would
// then trust that stale content until the next change).
class DirectoryLock
{
public:
    enum Mode { shared = LOCK_SH, exclusive = LOCK_EX };

    // Without `wait`, for as long as it takes; else for at most that many seconds.
    DirectoryLock(const QString &directory, Mode mode, std::optional<double> wait = std::nullopt)
    {
        if (mode == exclusive)
            QDir().mkpath(directory);
        fd_ = ::open(QFile::encodeName(directory).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd_ < 0)
            return;
        const auto deadline = std::chrono::steady_clock::now() +
                              std::chrono::milliseconds(int64_t(wait.value_or(0) * 1000));
        for (;;) {
            if (::flock(fd_, mode | (wait ? LOCK_NB : 0)) == 0) {
                held_ = true;
                return;
            }
            if (errno != EINTR &&
                (errno != EWOULDBLOCK || !wait || std::chrono::steady_clock::now() >= deadline))
                return;
            if (errno == EWOULDBLOCK)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    // False only when the wait ran out; a folder that cannot be opened is nobody's to lock.
    bool held() const { return held_ || fd_ < 0; }
    ~DirectoryLock()
    {
        if (fd_ >= 0)
            ::close(fd_); // releases the lock
    }
    DirectoryLock(const DirectoryLock &) = delete;
    DirectoryLock &operator=(const DirectoryLock &) = delete;

private:
    int fd_ = -1;
    bool held_ = false;
};

// A reader on the panel's thread waits this long for another process's write, then reads
// without the lock.
constexpr double readLockWait = 0.2;
// The writing thread tries the lock this long before it lets the queue grow and tries again.
constexpr double writeLockWait = 1.0;

constexpr int64_t noTime = LLONG_MIN;

int64_t modifiedMilliseconds(const QString &path)
{
    struct stat info
    {};
    if (::stat(QFile::encodeName(path).constData(), &info) != 0)
        return noTime;
    return int64_t(info.st_mtim.tv_sec) * 1000 + info.st_mtim.tv_nsec / 1'000'000;
}

// QSettings re-reads the file only when its size or its modification time (in milliseconds)
// changed. Two writes of equal size inside one clock tick would look like no change to another
// process, so every write moves the time strictly forward.
void moveModificationTimeAhead(const QString &path, int64_t before)
{
    const int64_t after = modifiedMilliseconds(path);
    if (before == noTime || after == noTime || after > before)
        return;
    const int64_t target = before + 1;
    const timespec times[2] = {{0, UTIME_OMIT}, {target / 1000, (target % 1000) * 1'000'000}};
    ::utimensat(AT_FDCWD, QFile::encodeName(path).constData(), times, 0);
}

bool isNumber(const QVariant &value)
{
    switch (value.typeId()) {
    case QMetaType::Double:
    case QMetaType::LongLong:
    case QMetaType::Int:
    case QMetaType::ULongLong:
    case QMetaType::UInt:
        return true;
    default:
        return false;
    }
}

std::optional<QStringList> asTextList(const QVariant &value)
{
    if (value.typeId() == QMetaType::QStringList)
        return value.toStringList();
    if (value.typeId() != QMetaType::QVariantList)
        return std::nullopt;
    QStringList texts;
    for (const QVariant &element : value.toList()) {
        if (element.typeId() != QMetaType::QString)
            return std::nullopt;
        texts.append(element.toString());
    }
    return texts;
}

std::optional<QVariantMap> asDictionary(const QVariant &value)
{
    if (value.typeId() == QMetaType::QVariantMap)
        return value.toMap();
    return std::nullopt;
}

Store::LastActive lastActiveFrom(const QVariant &value)
{
    const auto dictionary = asDictionary(value);
    if (!dictionary)
        return {};
    Store::LastActive times;
    for (auto it = dictionary->begin(); it != dictionary->end(); ++it) {
        if (!isNumber(it.value()))
            return {}; // no partial result: the next refresh rewrites what it knows
        times.insert(it.key(), instantFromEpochSeconds(it.value().toDouble()));
    }
    return times;
}

QVariantMap lastActiveVariant(const Store::LastActive &times)
{
    QVariantMap map;
    for (auto it = times.begin(); it != times.end(); ++it)
        map.insert(it.key(), epochSeconds(it.value()));
    return map;
}

// Reads the stored value when it has the wanted type, else the registered default when that has.
template <typename Convert>
auto typed(const QVariant &stored, const QVariant &registered, Convert convert)
    -> decltype(convert(stored))
{
    if (auto value = convert(stored))
        return value;
    return convert(registered);
}

} // namespace

// The thread that writes in the background, and the changes on their way: a change stays in
// `pending` until it is on disk, so that reads can lay it over what the file says.
class Store::Writer
{
public:
    explicit Writer(Store &store) : store_(store), thread_([this] { run(); }) {}
    ~Writer()
    {
        {
            const std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        wake_.notify_all();
        thread_.join();
    }

    void add(Change change)
    {
        {
            const std::lock_guard lock(mutex_);
            pending_.append(std::move(change));
        }
        wake_.notify_all();
    }
    QList<Change> pending() const
    {
        const std::lock_guard lock(mutex_);
        return pending_;
    }
    bool waitUntilWritten(double seconds)
    {
        std::unique_lock lock(mutex_);
        return written_.wait_for(lock, std::chrono::milliseconds(int64_t(seconds * 1000)),
                                 [this] { return pending_.isEmpty(); });
    }

private:
    void run()
    {
        std::unique_lock lock(mutex_);
        for (;;) {
            wake_.wait(lock, [this] { return stopping_ || !pending_.isEmpty(); });
            if (pending_.isEmpty())
                return;
            const QList<Change> batch = pending_;
            lock.unlock();
            const std::optional<WriteResult> result = store_.writeNow(batch, writeLockWait);
            lock.lock();
            // A lock held elsewhere: try again, unless the program is ending and waited already.
            if (!result && !stopping_)
                continue;
            pending_.remove(0, batch.size());
            written_.notify_all();
            if (result) {
                const QString error = result->value_or(QString());
                QMetaObject::invokeMethod(
                    &store_, [store = &store_, error] { emit store->writeFinished(error); },
                    Qt::QueuedConnection);
            }
        }
    }

    Store &store_;
    mutable std::mutex mutex_;
    std::condition_variable wake_, written_;
    QList<Change> pending_;
    bool stopping_ = false;
    std::thread thread_; // last: it starts once everything above is there
};

QVariant SettingKey::defaultValue() const
{
    return std::visit(
        [](auto value) {
            if constexpr (std::is_same_v<decltype(value), std::monostate>)
                return QVariant();
            else
                return QVariant(value);
        },
        fallback);
}

QString saveFailedText(const QString &error)
{
    return QStringLiteral("設定を保存できませんでした: ") + error;
}

Store &Store::shared()
{
    static Store store(defaultFilePath());
    return store;
}

QString Store::defaultFilePath()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
           QStringLiteral("/Nimbrel/Nimbrel.json");
}

Store::Store(QString filePath) : path_(std::move(filePath)), settings_(path_, jsonFormat()) {}

Store::~Store()
{
    flush();
}

void Store::writeInBackground()
{
    if (!writer_)
        writer_ = std::make_unique<Writer>(*this);
}

bool Store::flush(double seconds)
{
    if (!writer_)
        return true;
    const bool written = writer_->waitUntilWritten(seconds);
    writer_.reset(); // a change still waiting for the lock is given up
    return written;
}

QVariant Store::stored(const SettingKey &key)
{
    QVariant value;
    {
        DirectoryLock lock(QFileInfo(path_).absolutePath(), DirectoryLock::shared, readLockWait);
        settings_.sync(); // pick up what another process wrote
        value = settings_.value(key.name);
    }
    if (!writer_)
        return value;
    // The changes on their way, laid over what the file says: each touches its own key only.
    QVariantMap values;
    if (value.isValid())
        values.insert(key.name.toString(), value);
    for (const Change &change : writer_->pending())
        change(values);
    return values.value(key.name.toString());
}

std::optional<bool> Store::boolean(const SettingKey &key)
{
    Q_ASSERT(key.type == StoredType::boolean);
    const QVariant value = stored(key);
    if (!value.isValid()) {
        const QVariant registered = key.defaultValue();
        return registered.isValid() ? std::optional(registered.toBool()) : std::nullopt;
    }
    // A hand-written 0 or "false" must never turn a switch on: another type reads as false.
    return value.typeId() == QMetaType::Bool && value.toBool();
}

std::optional<double> Store::number(const SettingKey &key)
{
    Q_ASSERT(key.type == StoredType::number);
    return typed(stored(key), key.defaultValue(), [](const QVariant &v) -> std::optional<double> {
        if (isNumber(v))
            return v.toDouble();
        return std::nullopt;
    });
}

std::optional<QString> Store::text(const SettingKey &key)
{
    Q_ASSERT(key.type == StoredType::text);
    return typed(stored(key), key.defaultValue(), [](const QVariant &v) -> std::optional<QString> {
        if (v.typeId() == QMetaType::QString)
            return v.toString();
        return std::nullopt;
    });
}

std::optional<QStringList> Store::textList(const SettingKey &key)
{
    Q_ASSERT(key.type == StoredType::textList);
    return typed(stored(key), key.defaultValue(), asTextList);
}

std::optional<QVariantMap> Store::dictionary(const SettingKey &key)
{
    Q_ASSERT(key.type == StoredType::dictionary);
    return typed(stored(key), key.defaultValue(), asDictionary);
}

QVariant Store::object(const SettingKey &key)
{
    QVariant value = stored(key);
    return value.isValid() ? value : key.defaultValue();
}

Store::WriteResult Store::write(Change change)
{
    if (writer_) {
        writer_->add(std::move(change));
        return std::nullopt;
    }
    const WriteResult result = *writeNow({change}, std::nullopt);
    emit writeFinished(result.value_or(QString()));
    return result;
}

std::optional<Store::WriteResult> Store::writeNow(const QList<Change> &changes,
                                                  std::optional<double> lockWait)
{
    const QString directory = QFileInfo(path_).absolutePath();
    DirectoryLock lock(directory, DirectoryLock::exclusive, lockWait);
    if (!lock.held())
        return std::nullopt;
    // The file itself, read under the lock: QSettings' cache judges freshness by size and time,
    // which another process's rename can make lie, and writing from it would drop that write.
    // A file that exists and cannot be read is never replaced: its pins and limits would be lost.
    const FileContents contents = readWholeFile(path_);
    if (contents.error)
        return contents.error;
    QVariantMap values;
    if (!contents.bytes.isEmpty() && !parseSettings(contents.bytes, values))
        keepDamagedCopy(path_, contents.bytes);
    QVariantMap changed = values;
    for (const Change &change : changes)
        change(changed);
    if (changed == values)
        return WriteResult(); // nothing to say: no write, no sync to disk

    const int64_t before = modifiedMilliseconds(path_);
    QSaveFile out(path_);
    const QByteArray bytes = serialised(changed);
    WriteResult result;
    if (!out.open(QIODevice::WriteOnly) || out.write(bytes) != bytes.size() || !out.commit())
        result = out.errorString();
    else
        moveModificationTimeAhead(path_, before);
    return result;
}

Store::WriteResult Store::checkWritable()
{
    DirectoryLock lock(QFileInfo(path_).absolutePath(), DirectoryLock::shared);
    return readWholeFile(path_).error;
}

Store::WriteResult Store::setValue(const SettingKey &key, const QVariant &value)
{
    return write([name = key.name.toString(), value](QVariantMap &values) {
        if (value.isValid())
            values.insert(name, value);
        else
            values.remove(name);
    });
}

Store::LastActive Store::lastActive()
{
    return lastActiveFrom(stored(StoreKey::lastActiveAt));
}

Store::WriteResult Store::setLastActive(const LastActive &times)
{
    return setValue(StoreKey::lastActiveAt, lastActiveVariant(times));
}

Store::WriteResult Store::recordActive(const LastActive &recorded)
{
    return write([recorded](QVariantMap &values) {
        const QString key = StoreKey::lastActiveAt.name.toString();
        LastActive times = lastActiveFrom(values.value(key));
        const LastActive before = times;
        for (auto it = recorded.begin(); it != recorded.end(); ++it) {
            if (!times.contains(it.key()) || times.value(it.key()) < it.value())
                times.insert(it.key(), it.value());
        }
        if (times != before)
            values.insert(key, lastActiveVariant(times));
    });
}

QSet<QString> Store::pinned()
{
    const QStringList names = asTextList(stored(StoreKey::pinnedApps)).value_or(QStringList{});
    return QSet<QString>(names.begin(), names.end());
}

Store::WriteResult Store::setPinned(const QSet<QString> &names)
{
    struct Keyed
    {
        QList<uint> key;
        QString name;
    };
    std::vector<Keyed> keyed;
    for (const QString &name : names)
        keyed.push_back({name.normalized(QString::NormalizationForm_C).toUcs4(), name});
    std::sort(keyed.begin(), keyed.end(), [](const Keyed &a, const Keyed &b) {
        return a.key != b.key ? a.key < b.key : a.name.toUcs4() < b.name.toUcs4();
    });
    QStringList sorted;
    for (const Keyed &entry : keyed)
        sorted.append(entry.name);
    return setValue(StoreKey::pinnedApps, sorted);
}

} // namespace nimbrel
