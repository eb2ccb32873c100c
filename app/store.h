// Settings and small persistent state, in one JSON file that every Nimbrel process shares.
#pragma once

#include "core/instant.h"

#include <QMap>
#include <QObject>
#include <QSet>
#include <QSettings>
#include <QString>
#include <QStringList>
#include <QVariant>

#include <functional>
#include <memory>
#include <optional>
#include <variant>

namespace nimbrel {

// How a key's value sits in the file: its JSON type, which the typed reads below check.
enum class StoredType { boolean, number, text, textList, dictionary, any };

// A stored key: its name in the file, its type and its registered default (held in memory, never
// written). No default: an absent key reads as absent.
struct SettingKey
{
    QStringView name;
    StoredType type = StoredType::any;
    std::variant<std::monostate, bool, double> fallback{};

    QVariant defaultValue() const;
};

// Every key the program stores, one row each.
namespace StoreKey {
inline constexpr SettingKey autoStopEnabled{u"autoStopEnabled", StoredType::boolean, true};
inline constexpr SettingKey idleLimitHours{u"idleLimitHours", StoredType::number, 24.0};
inline constexpr SettingKey pm2Path{u"pm2Path", StoredType::text};
inline constexpr SettingKey pinnedApps{u"pinnedApps", StoredType::textList};
inline constexpr SettingKey lastActiveAt{u"lastActiveAt", StoredType::dictionary}; // name -> s
inline constexpr SettingKey openAtLogin{u"openAtLogin", StoredType::boolean};
inline constexpr SettingKey sortKey{u"sortKey", StoredType::text};           // "memory" | "cpu"
inline constexpr SettingKey panelHeight{u"panelHeight", StoredType::number}; // points
inline constexpr SettingKey logWindowSize{u"logWindowSize", StoredType::dictionary};
inline constexpr SettingKey notificationsEnabled{u"notificationsEnabled", StoredType::boolean,
                                                 true};
inline constexpr SettingKey wakeOnRequest{u"wakeOnRequest", StoredType::boolean, true};
// name -> list of {"family": "ipv4"|"ipv6", "address": text, "port": number}
inline constexpr SettingKey heldApps{u"heldApps", StoredType::dictionary};
} // namespace StoreKey

// What the program says when a change could not be stored, after the system's error text.
QString saveFailedText(const QString &error);

class Store : public QObject
{
    Q_OBJECT

public:
    using LastActive = QMap<QString, Instant>;

    // The one store of the process, on the user's settings file.
    static Store &shared();
    // $XDG_CONFIG_HOME/Nimbrel/Nimbrel.json (~/.config when XDG_CONFIG_HOME is unset).
    static QString defaultFilePath();

    explicit Store(QString filePath);
    ~Store() override;
    Store(const Store &) = delete;
    Store &operator=(const Store &) = delete;

    const QString &filePath() const { return path_; }

    // Typed reads see what any process wrote. An absent key falls back to its registered default.
    // A stored value of another type reads as absent, except that a boolean of another type reads
    // as false. An unreadable file reads as absent values.
    std::optional<bool> boolean(const SettingKey &key);
    bool boolValue(const SettingKey &key) { return boolean(key).value_or(false); }
    std::optional<double> number(const SettingKey &key);
    double doubleValue(const SettingKey &key) { return number(key).value_or(0.0); }
    std::optional<QString> text(const SettingKey &key);
    std::optional<QStringList> textList(const SettingKey &key);
    std::optional<QVariantMap> dictionary(const SettingKey &key);
    QVariant object(const SettingKey &key);

    // The result of every write: empty, or the system's error text when nothing was stored.
    using WriteResult = std::optional<QString>;

    // Writes are on disk when the call returns. An invalid QVariant removes the key. Only a file
    // that does not exist counts as empty: one that cannot be read is left exactly as it is.
    WriteResult setValue(const SettingKey &key, const QVariant &value);
    WriteResult remove(const SettingKey &key) { return setValue(key, QVariant()); }
    // Whether a write could be made now: the file reads, or does not exist.
    WriteResult checkWritable();

    // From now on every write goes to a thread of its own and returns at once (with no result:
    // writeFinished tells), so that the panel's thread never waits on the disk or on another
    // process holding the lock. Reads see the changes still on their way.
    void writeInBackground();
    // Waits until every change made so far is on the disk, at most `seconds`; true when they are.
    // At quit; the store's end does it too.
    bool flush(double seconds = 5);

    // The user's explicit choice about starting at login; absent when never made.
    std::optional<bool> openAtLoginChoice() { return boolean(StoreKey::openAtLogin); }

    // Empty when absent or damaged (a single non-number value spoils the whole dictionary).
    LastActive lastActive();
    WriteResult setLastActive(const LastActive &times);
    // Records these times, each unless the file holds a later one for that name: one locked
    // read-change-write, so that the tray app and a command line recording at once lose nothing.
    WriteResult recordActive(const LastActive &times);

    QSet<QString> pinned();
    // Stored as a list sorted by code point after NFC, so the file reads the same every time.
    WriteResult setPinned(const QSet<QString> &names);

signals:
    // After every write that had something to store: an empty text, or the system's error text.
    void writeFinished(const QString &error);

private:
    using Change = std::function<void(QVariantMap &)>;
    class Writer;

    QVariant stored(const SettingKey &key);
    // Now, or queued for the writing thread. A change must not use the store itself.
    WriteResult write(Change change);
    // One locked read-change-write of the file; absent when the lock stayed busy that long.
    std::optional<WriteResult> writeNow(const QList<Change> &changes,
                                        std::optional<double> lockWait);

    QString path_;
    QSettings settings_;
    std::unique_ptr<Writer> writer_;
};

} // namespace nimbrel
