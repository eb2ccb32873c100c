// Notices to the user through the desktop's notification service (org.freedesktop.Notifications
// on the session bus); without one, through a fallback the interface gives (the tray's balloon),
// and without that, the system log.
#pragma once

#include <QDBusConnection>
#include <QHash>
#include <QList>
#include <QObject>
#include <QSet>
#include <QString>
#include <QStringList>

#include <functional>
#include <optional>

class QDBusPendingCallWatcher;

namespace nimbrel {

struct Notice
{
    QString key; // a notice under the key of one still shown replaces it
    QString summary;
    QString body;
    // Action ids and their labels, shown as buttons where the service has them.
    QList<std::pair<QString, QString>> buttons{};
};

class DesktopNotifications : public QObject
{
    Q_OBJECT

public:
    // Shows summary and body some other way; false when it cannot (no tray either).
    using Fallback = std::function<bool(const QString &summary, const QString &body)>;

    static inline const QString service = QStringLiteral("org.freedesktop.Notifications");
    static inline const QString path = QStringLiteral("/org/freedesktop/Notifications");
    // The program's desktop file, by which the service finds its name and icon.
    static inline const QString desktopEntry = QStringLiteral("dev.nimbrel.Nimbrel");

    explicit DesktopNotifications(QDBusConnection bus = QDBusConnection::sessionBus(),
                                  QObject *parent = nullptr);

    void setFallback(Fallback fallback) { fallback_ = std::move(fallback); }
    void show(const Notice &notice);

signals:
    // The user chose an action of the notice: "default" (its body) or a button's id.
    void activated(const QString &key, const QString &action);
    // The notice under `key` is gone from the screen, or was never shown there.
    void closed(const QString &key);

private Q_SLOTS:
    void actionInvoked(uint id, const QString &action);
    void notificationClosed(uint id, uint reason);

private:
    void askCapabilities();
    void send(const Notice &notice);
    void showElsewhere(const Notice &notice);
    void forget(uint id);

    QDBusConnection bus_;
    Fallback fallback_;
    // Asked once the service answers; until then notices wait in `waiting_`.
    std::optional<QStringList> capabilities_;
    bool asking_ = false;
    QList<Notice> waiting_;
    QSet<QString> inFlight_;      // keys whose Notify has no answer yet
    QHash<QString, Notice> held_; // the latest notice for each of them
    QHash<QString, uint> idByKey_;
    QHash<uint, QString> keyById_;
};

} // namespace nimbrel
