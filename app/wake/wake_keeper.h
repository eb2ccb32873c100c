// Keeps the ports of the apps the automatic stop stopped, and starts such an app again on its
// next request: holds, wakes, lets go when the app starts any other way, and remembers the holds
// across restarts of Nimbrel.
#pragma once

#include "app/wake/port_hold.h"
#include "app/wake/wake_relay.h"
#include "core/pm2_app.h"

#include <QMap>
#include <QObject>
#include <QPointer>
#include <QSet>

#include <map>
#include <memory>

namespace nimbrel {

class Monitor;
class PM2Client;
class Store;

namespace wake {

class WakeKeeper : public QObject
{
    Q_OBJECT

public:
    struct Hold
    {
        enum class State { held, paused, waking };
        QList<ListenAddress> addresses{}; // what the app listened on when it was stopped
        QList<ListenAddress> refused{};   // those something else had taken when we tried
        State state = State::held;
        bool operator==(const Hold &) const = default;
    };

    explicit WakeKeeper(Store &store, QObject *parent = nullptr);
    // Closes every held socket and relay; the holds stay in the settings for the next start.
    ~WakeKeeper() override;

    const QMap<QString, Hold> &holds() const { return holds_; }
    // The ports each app's bound sockets hold now (not those paused, refused or waking).
    QMap<QString, QList<int64_t>> heldPorts() const;

    // Feeds the monitor's automatic stops and lists to the keeper, and the holds to its rows.
    void attach(Monitor &monitor);

    // The automatic stop stopped `name`, which listened on `addresses`: hold them, when the
    // setting allows.
    void holdStopped(const QString &name, const QList<ListenAddress> &addresses);
    // What pm2 lists now. The first time, the stored holds of the apps still stopped are taken
    // up again; a held app that is gone or runs is let go.
    void reconcile(const QList<PM2App> &apps);
    // Lets go of the app's hold for good: it stays plainly stopped. Every hold when `name` is
    // empty.
    void letGo(const QString &name);
    // One `process:event` of pm2's bus.
    void processEvent(const QString &event, const QString &name);

    // What the app's own process tree listens on now, and whether pm2 still runs it.
    struct Listening
    {
        bool running = false;
        QList<ListenAddress> addresses{};
    };
    static Listening appListening(const PM2Client &client, const QString &name);
    // What the process trees of `pids` listen on.
    static QList<ListenAddress> treeListening(const QList<int64_t> &pids);

signals:
    void changed();
    // The app was woken but did not start or never listened: the user must hear of it.
    void wakeFailed(const QString &name);

private:
    void bind(const QString &name);
    void wake(const QString &name);
    void woke(const QString &name, bool listening);
    void pauseFor(const QString &starter);
    void watchEnded(const QString &starter);
    void closeSockets(const QString &name);
    void save();

    Store &store_;
    QMap<QString, Hold> holds_;
    QMap<QString, QPointer<PortHold>> sockets_;
    std::map<int, std::unique_ptr<WakeRelay>> relays_;
    int nextRelay_ = 0;
    // Apps whose start paused every hold, watched until they listen.
    class Looker;
    class Watch;
    std::map<QString, std::unique_ptr<Watch>> watches_;
    bool reconciled_ = false;
};

} // namespace wake
} // namespace nimbrel
