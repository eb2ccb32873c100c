// Settings and small persistent state, in one JSON file that every Nimbrel process shares.
#pragma once

#include "core/instant.h"

#include <QMap>
#include <QSet>
#include <QSettings>
#include <QString>
#include <QStringList>
#include <QVariant>

#include <functional>
#include <optional>

namespace nimbrel {

// Every key the program stores, in one place. Types and defaults: see Store.
namespace StoreKey {
inline constexpr QStringView autoStopEnabled = u"autoStopEnabled"; // bool, default true
inline constexpr QStringView idleLimitHours = u"idleLimitHours";   // double, default 24
inline constexpr QStringView pm2Path = u"pm2Path";                 // text
inline constexpr QStringView pinnedApps = u"pinnedApps";           // list of texts
inline constexpr QStringView lastActiveAt = u"lastActiveAt";       // name -> seconds
inline constexpr QStringView openAtLogin = u"openAtLogin";         // bool
inline constexpr QStringView sortKey = u"sortKey";                 // "memory" | "cpu"
inline constexpr QStringView panelHeight = u"panelHeight";         // double, points
inline constexpr QStringView logWindowSize = u"logWindowSize";     // {width, height}
inline constexpr QStringView trayPosition = u"NSStatusItem Preferred Position Nimbrel"; // int
} // namespace StoreKey

class Store
{
public:
    using LastActive = QMap<QString, Instant>;

    // The one store of the process, on the user's settings file.
    static Store &shared();
    // $XDG_CONFIG_HOME/Nimbrel/Nimbrel.json (~/.config when XDG_CONFIG_HOME is unset).
    static QString defaultFilePath();

    explicit Store(QString filePath);
    Store(const Store &) = delete;
    Store &operator=(const Store &) = delete;

    const QString &filePath() const { return path_; }

    // Typed reads see what any process wrote. An absent key falls back to its registered default
    // (held in memory, never written). A stored value of another type reads as absent, except
    // that a boolean of another type reads as false.
    std::optional<bool> boolean(QStringView key);
    bool boolValue(QStringView key) { return boolean(key).value_or(false); }
    std::optional<double> number(QStringView key);
    double doubleValue(QStringView key) { return number(key).value_or(0.0); }
    std::optional<QString> text(QStringView key);
    std::optional<QStringList> textList(QStringView key);
    std::optional<QVariantMap> dictionary(QStringView key);
    QVariant object(QStringView key);

    // Writes are on disk when the call returns. An invalid QVariant removes the key.
    void setValue(QStringView key, const QVariant &value);
    void remove(QStringView key) { setValue(key, QVariant()); }

    // The user's explicit choice about starting at login; absent when never made.
    std::optional<bool> openAtLoginChoice() { return boolean(StoreKey::openAtLogin); }

    // Empty when absent or damaged (a single non-number value spoils the whole dictionary).
    LastActive lastActive();
    void setLastActive(const LastActive &times);
    // Reads, changes and writes the last-active times as one step: the tray app and a command
    // line run may both record a time at once, and neither may lose the other's.
    void updateLastActive(const std::function<void(LastActive &)> &change);

    QSet<QString> pinned();
    // Stored as a list sorted by code point after NFC, so the file reads the same every time.
    void setPinned(const QSet<QString> &names);

private:
    QVariant stored(QStringView key);
    // One locked read-change-write of the file; the change must not use the store itself.
    void write(const std::function<void(QVariantMap &)> &change);

    QString path_;
    QSettings settings_;
    QVariantMap registered_;
};

} // namespace nimbrel
