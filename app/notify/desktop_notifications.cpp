#include "app/notify/desktop_notifications.h"

#include "app/app_delegate.h"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QVariantMap>

namespace nimbrel {

namespace {

const QString interface = DesktopNotifications::service;

QDBusMessage call(const QString &method)
{
    return QDBusMessage::createMethodCall(DesktopNotifications::service, DesktopNotifications::path,
                                          interface, method);
}

} // namespace

DesktopNotifications::DesktopNotifications(QDBusConnection bus, QObject *parent)
    : QObject(parent), bus_(std::move(bus))
{
    if (!bus_.isConnected())
        return;
    bus_.connect(service, path, interface, QStringLiteral("ActionInvoked"), this,
                 SLOT(actionInvoked(uint, QString)));
    bus_.connect(service, path, interface, QStringLiteral("NotificationClosed"), this,
                 SLOT(notificationClosed(uint, uint)));
}

void DesktopNotifications::show(const Notice &notice)
{
    if (!bus_.isConnected())
        return showElsewhere(notice);
    if (capabilities_)
        return send(notice);
    waiting_.append(notice);
    askCapabilities();
}

void DesktopNotifications::askCapabilities()
{
    if (asking_)
        return;
    asking_ = true;
    auto *watcher =
        new QDBusPendingCallWatcher(bus_.asyncCall(call(QStringLiteral("GetCapabilities"))), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher *w) {
        w->deleteLater();
        asking_ = false;
        const QDBusPendingReply<QStringList> reply = *w;
        // No service (a bare X11 session): these notices go elsewhere, and the next one asks
        // again, since a service may have started meanwhile.
        if (!reply.isError())
            capabilities_ = reply.value();
        for (const Notice &notice : std::exchange(waiting_, {}))
            capabilities_ ? send(notice) : showElsewhere(notice);
    });
}

void DesktopNotifications::send(const Notice &notice)
{
    // A repeat must know the id it replaces: it waits for the answer about the one before.
    if (inFlight_.contains(notice.key)) {
        held_.insert(notice.key, notice);
        return;
    }
    inFlight_.insert(notice.key);
    QStringList actions;
    if (capabilities_->contains(QStringLiteral("actions"))) {
        actions << QStringLiteral("default") << QStringLiteral("開く");
        for (const auto &[id, label] : notice.buttons)
            actions << id << label;
    }
    const QVariantMap hints{{QStringLiteral("desktop-entry"), desktopEntry}};
    QDBusMessage message = call(QStringLiteral("Notify"));
    message << QStringLiteral("Nimbrel") << idByKey_.value(notice.key, 0u)
            << QStringLiteral("nimbrel") << notice.summary << notice.body << actions << hints << -1;
    auto *watcher = new QDBusPendingCallWatcher(bus_.asyncCall(message), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this, notice](QDBusPendingCallWatcher *w) {
                w->deleteLater();
                inFlight_.remove(notice.key);
                const QDBusPendingReply<uint> reply = *w;
                if (reply.isError()) {
                    capabilities_.reset(); // the service went away: ask again next time
                    showElsewhere(notice);
                } else {
                    if (const auto old = idByKey_.constFind(notice.key);
                        old != idByKey_.constEnd() && *old != reply.value())
                        keyById_.remove(*old);
                    idByKey_.insert(notice.key, reply.value());
                    keyById_.insert(reply.value(), notice.key);
                }
                if (const auto next = held_.constFind(notice.key); next != held_.constEnd())
                    show(held_.take(notice.key));
            });
}

void DesktopNotifications::showElsewhere(const Notice &notice)
{
    if (!fallback_ || !fallback_(notice.summary, notice.body))
        writeToSystemLog(QStringLiteral("Nimbrel: ") + notice.summary + QStringLiteral(": ") +
                         notice.body);
    emit closed(notice.key); // nothing stays on screen to act on
}

void DesktopNotifications::actionInvoked(uint id, const QString &action)
{
    const auto key = keyById_.constFind(id);
    if (key == keyById_.constEnd())
        return; // another program's notification
    const QString which = *key;
    // Some services leave a notification up after a button; the user is done with it.
    QDBusMessage close = call(QStringLiteral("CloseNotification"));
    close << id;
    bus_.asyncCall(close);
    forget(id);
    emit activated(which, action);
    emit closed(which);
}

void DesktopNotifications::notificationClosed(uint id, uint)
{
    const auto key = keyById_.constFind(id);
    if (key == keyById_.constEnd())
        return;
    const QString which = *key;
    forget(id);
    emit closed(which);
}

void DesktopNotifications::forget(uint id)
{
    idByKey_.remove(keyById_.take(id));
}

} // namespace nimbrel
