#include "app/notify/announcer.h"

#include "app/monitor.h"
#include "app/store.h"

namespace nimbrel {

namespace {

const QString autoStopKey = QStringLiteral("auto-stop");
const QString downKeyPrefix = QStringLiteral("down:");

} // namespace

Announcer::Announcer(Store &store, Monitor &monitor, PM2Bus &bus,
                     DesktopNotifications &notifications, QObject *parent)
    : QObject(parent), store_(store), monitor_(monitor), notifications_(notifications)
{
    connect(&monitor, &Monitor::autoStopped, this, &Announcer::autoStopped);
    connect(&bus, &PM2Bus::processEvent, this, &Announcer::processEvent);
    connect(&notifications, &DesktopNotifications::activated, this, &Announcer::activated);
    connect(&notifications, &DesktopNotifications::closed, this, [this](const QString &key) {
        if (key == autoStopKey)
            autoStopped_.clear();
    });
}

QString Announcer::names(const QStringList &names)
{
    QString text = names.mid(0, 3).join(QStringLiteral("、"));
    if (names.size() > 3)
        text += QStringLiteral(" ほか%1件").arg(names.size() - 3);
    return text;
}

Notice Announcer::autoStopNotice(const QStringList &stopped, double idleHours, bool wakes,
                                 const HeldPorts &held)
{
    QString body = QStringLiteral("%1\n%2時間使われていませんでした")
                       .arg(names(stopped))
                       .arg(qint64(std::max(idleHours, 1.0)));
    // The stop costs nothing when the next request brings the server back: say so.
    if (wakes)
        body += QStringLiteral("\n次のアクセスで自動で起動します");
    // A held port refuses the user's next project started by hand on it: say which are held.
    QStringList holding;
    for (const QString &name : stopped) {
        if (const QList<int64_t> ports = held.value(name); !ports.isEmpty()) {
            QString text = name;
            for (const int64_t port : ports)
                text += QStringLiteral(" :%1").arg(port);
            holding.append(text);
        }
    }
    if (!holding.isEmpty())
        body += QStringLiteral("\n待機中のポート: ") + names(holding);
    return {.key = autoStopKey,
            .summary = QStringLiteral("自動で止めました"),
            .body = body,
            .buttons = {{startAgainAction, QStringLiteral("もう一度起動")}}};
}

Notice Announcer::gaveUpNotice(const QString &name, const QString &status, bool withLog)
{
    const bool errored = status == u"errored";
    Notice notice{.key = downKeyPrefix + name,
                  .summary = name + (errored ? QStringLiteral(" がエラーで止まりました")
                                             : QStringLiteral(" が終了しました")),
                  .body = errored ? QStringLiteral("再起動を繰り返したため、pm2 が起動をやめました")
                                  : QStringLiteral("pm2 は自動で再起動しません")};
    if (withLog)
        notice.buttons.append({logAction, QStringLiteral("ログ")});
    return notice;
}

bool Announcer::gaveUp(const ProcessEvent &event)
{
    // An app that crashes is "stopped" in its exit until pm2 restarts it: only one pm2 will not
    // restart counts, and a stop by anyone is "stopping" in its first exit already.
    return event.event == u"restart overlimit" ||
           (event.event == u"exit" &&
            (event.status == u"errored" || (event.status == u"stopped" && !event.restarts)));
}

bool Announcer::enabled()
{
    return store_.boolValue(StoreKey::notificationsEnabled);
}

void Announcer::autoStopped(const QStringList &names)
{
    for (const QString &name : names) {
        if (!autoStopped_.contains(name))
            autoStopped_.append(name);
    }
    if (enabled())
        notifications_.show(autoStopNotice(
            autoStopped_, store_.doubleValue(StoreKey::idleLimitHours),
            store_.boolValue(StoreKey::wakeOnRequest), heldPorts_ ? heldPorts_() : HeldPorts()));
    else
        autoStopped_.clear();
}

void Announcer::processEvent(const ProcessEvent &event)
{
    if (event.event == u"online" || event.event == u"start" || event.event == u"delete") {
        toldDown_.remove(event.name);
        return;
    }
    if (!gaveUp(event) || toldDown_.contains(event.name) || !enabled())
        return;
    toldDown_.insert(event.name);
    notifications_.show(gaveUpNotice(event.name, event.status, bool(openLog_)));
}

void Announcer::activated(const QString &key, const QString &action)
{
    if (action == u"default")
        emit panelRequested();
    else if (key == autoStopKey && action == startAgainAction)
        monitor_.startApps(autoStopped_);
    else if (key.startsWith(downKeyPrefix) && action == logAction && openLog_)
        openLog_(key.mid(downKeyPrefix.size()));
}

} // namespace nimbrel
