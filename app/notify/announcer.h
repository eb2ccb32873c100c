// What Nimbrel tells the user unasked, and when: the apps it stopped for being idle, and the
// apps pm2 gave up restarting. The words and the buttons are here; DesktopNotifications carries
// them to the screen.
#pragma once

#include "app/bus/pm2_bus.h"
#include "app/notify/desktop_notifications.h"

#include <QMap>
#include <QObject>
#include <QSet>
#include <QStringList>

#include <functional>

namespace nimbrel {

class Monitor;
class Store;

class Announcer : public QObject
{
    Q_OBJECT

public:
    // Action ids of the buttons.
    static inline const QString startAgainAction = QStringLiteral("start-again");
    static inline const QString logAction = QStringLiteral("log");

    Announcer(Store &store, Monitor &monitor, PM2Bus &bus, DesktopNotifications &notifications,
              QObject *parent = nullptr);

    // Opens the log of an app; the crash notices get their "ログ" button once it is set.
    void setLogOpener(std::function<void(const QString &appName)> open)
    {
        openLog_ = std::move(open);
    }

    // The ports Nimbrel holds for each stopped app, so that a request wakes it.
    using HeldPorts = QMap<QString, QList<int64_t>>;
    // What the automatic stop's notice says is held; asked at each stop.
    void setHeldPorts(std::function<HeldPorts()> held) { heldPorts_ = std::move(held); }

    // "api、web、shop ほか2件": up to three names, then how many more.
    static QString names(const QStringList &names);
    // The notice of one automatic stop, and of pm2 giving up on an app (the event that said so).
    static Notice autoStopNotice(const QStringList &names, double idleHours, bool wakes = false,
                                 const HeldPorts &held = {});
    static Notice gaveUpNotice(const QString &name, const QString &status, bool withLog);
    // An event that leaves the app down without anyone having stopped it.
    static bool gaveUp(const ProcessEvent &event);

signals:
    // The notice's body was clicked.
    void panelRequested();

private:
    void autoStopped(const QStringList &names);
    void processEvent(const ProcessEvent &event);
    void activated(const QString &key, const QString &action);
    bool enabled();

    Store &store_;
    Monitor &monitor_;
    DesktopNotifications &notifications_;
    std::function<void(const QString &)> openLog_;
    std::function<HeldPorts()> heldPorts_;
    // The apps of the automatic-stop notice still on screen: a later stop joins them in it.
    QStringList autoStopped_;
    // Apps told about since they last came online: pm2 says it twice (overlimit, then exit).
    QSet<QString> toldDown_;
};

} // namespace nimbrel
