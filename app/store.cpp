#include "app/store.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>
#include <QSaveFile>
#include <QStandardPaths>

#include <algorithm>
#include <climits>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace nimbrel {

namespace {

// A damaged file is set aside before anything can overwrite it: the user may want it back.
void keepDamagedCopy(const QIODevice &device, const QByteArray &contents)
{
    const auto *file = qobject_cast<const QFile *>(&device);
    if (file == nullptr)
        return;
    const QString copyPath = file->fileName() + QStringLiteral(".damaged");
    QFile existing(copyPath);
    if (existing.open(QIODevice::ReadOnly) && existing.readAll() == contents)
        return;
    QSaveFile copy(copyPath);
    if (copy.open(QIODevice::WriteOnly) && copy.write(contents) == contents.size())
        copy.commit();
}

bool readJson(QIODevice &device, QSettings::SettingsMap &map)
{
    const QByteArray contents = device.readAll();
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(contents, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject()) {
        keepDamagedCopy(device, contents);
        return false;
    }
    const QJsonObject object = document.object();
    for (auto it = object.begin(); it != object.end(); ++it)
        map.insert(it.key(), it.value().toVariant());
    return true;
}

bool writeJson(QIODevice &device, const QSettings::SettingsMap &map)
{
    QJsonObject object;
    for (auto it = map.begin(); it != map.end(); ++it)
        object.insert(it.key(), QJsonValue::fromVariant(it.value()));
    const QByteArray contents = QJsonDocument(object).toJson(QJsonDocument::Indented);
    return device.write(contents) == contents.size();
}

QSettings::Format jsonFormat()
{
    static const QSettings::Format format =
        QSettings::registerFormat(QStringLiteral("json"), readJson, writeJson, Qt::CaseSensitive);
    return format;
}

// Serialises read-change-write steps across processes. QSettings merges single keys on its own,
// but not a change computed from a value another process may be rewriting at the same moment.
class DirectoryLock
{
public:
    explicit DirectoryLock(const QString &directory)
    {
        QDir().mkpath(directory);
        fd_ = ::open(QFile::encodeName(directory).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd_ >= 0) {
            while (::flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
            }
        }
    }
    ~DirectoryLock()
    {
        if (fd_ >= 0)
            ::close(fd_); // releases the lock
    }
    DirectoryLock(const DirectoryLock &) = delete;
    DirectoryLock &operator=(const DirectoryLock &) = delete;

private:
    int fd_ = -1;
};

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

Store::Store(QString filePath)
    : path_(std::move(filePath)),
      settings_(path_, jsonFormat()), registered_{{StoreKey::autoStopEnabled.toString(), true},
                                                  {StoreKey::idleLimitHours.toString(), 24.0}}
{}

QVariant Store::stored(QStringView key)
{
    settings_.sync(); // pick up what another process wrote
    return settings_.value(key);
}

std::optional<bool> Store::boolean(QStringView key)
{
    return typed(stored(key), registered_.value(key.toString()),
                 [](const QVariant &v) -> std::optional<bool> {
                     if (v.typeId() == QMetaType::Bool)
                         return v.toBool();
                     return std::nullopt;
                 });
}

std::optional<double> Store::number(QStringView key)
{
    return typed(stored(key), registered_.value(key.toString()),
                 [](const QVariant &v) -> std::optional<double> {
                     if (isNumber(v))
                         return v.toDouble();
                     return std::nullopt;
                 });
}

std::optional<QString> Store::text(QStringView key)
{
    return typed(stored(key), registered_.value(key.toString()),
                 [](const QVariant &v) -> std::optional<QString> {
                     if (v.typeId() == QMetaType::QString)
                         return v.toString();
                     return std::nullopt;
                 });
}

std::optional<QStringList> Store::textList(QStringView key)
{
    return typed(stored(key), registered_.value(key.toString()), asTextList);
}

std::optional<QVariantMap> Store::dictionary(QStringView key)
{
    return typed(stored(key), registered_.value(key.toString()), asDictionary);
}

QVariant Store::object(QStringView key)
{
    QVariant value = stored(key);
    return value.isValid() ? value : registered_.value(key.toString());
}

void Store::write(const std::function<void()> &change)
{
    DirectoryLock lock(QFileInfo(path_).absolutePath());
    const int64_t before = modifiedMilliseconds(path_);
    settings_.sync(); // start from what is on disk now
    change();
    settings_.sync();
    moveModificationTimeAhead(path_, before);
}

void Store::setValue(QStringView key, const QVariant &value)
{
    write([&] {
        if (value.isValid())
            settings_.setValue(key, value);
        else
            settings_.remove(key);
    });
}

Store::LastActive Store::lastActive()
{
    return lastActiveFrom(stored(StoreKey::lastActiveAt));
}

void Store::setLastActive(const LastActive &times)
{
    setValue(StoreKey::lastActiveAt, lastActiveVariant(times));
}

void Store::updateLastActive(const std::function<void(LastActive &)> &change)
{
    write([&] {
        LastActive times = lastActiveFrom(settings_.value(StoreKey::lastActiveAt));
        change(times);
        settings_.setValue(StoreKey::lastActiveAt, lastActiveVariant(times));
    });
}

QSet<QString> Store::pinned()
{
    const QStringList names = asTextList(stored(StoreKey::pinnedApps)).value_or(QStringList{});
    return QSet<QString>(names.begin(), names.end());
}

void Store::setPinned(const QSet<QString> &names)
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
    setValue(StoreKey::pinnedApps, sorted);
}

} // namespace nimbrel
