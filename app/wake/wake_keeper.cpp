#include "app/wake/wake_keeper.h"

#include "app/monitor.h"
#include "app/pm2/pm2_client.h"
#include "app/store.h"
#include "app/system/system_probe.h"
#include "core/process_tree.h"

#include <QMetaObject>

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <unistd.h>

namespace nimbrel::wake {

namespace {

constexpr std::chrono::milliseconds watchInterval{100};

QVariantMap storedHolds(const QMap<QString, WakeKeeper::Hold> &holds)
{
    QVariantMap stored;
    for (auto hold = holds.begin(); hold != holds.end(); ++hold) {
        if (hold->state == WakeKeeper::Hold::State::waking)
            continue;
        QVariantList addresses;
        for (const ListenAddress &address : hold->addresses)
            addresses.append(toStored(address));
        stored.insert(hold.key(), addresses);
    }
    return stored;
}

// A thousand clients at once are a thousand descriptors, twice over once relayed: the soft limit
// (often 1024) would refuse them while the hard one allows them.
void raiseDescriptorLimit()
{
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }
}

} // namespace

// Waits on a thread of its own until an app that just started listens (or stops, or a minute
// passes), then tells the keeper.
class WakeKeeper::Watch
{
public:
    Watch(WakeKeeper *keeper, PM2Client client, QString name)
        : stop_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)),
          thread_([this, keeper, client = std::move(client), name = std::move(name)] {
              const auto until = std::chrono::steady_clock::now() + WakeRelay::listenLimit;
              pollfd stop{stop_, POLLIN, 0};
              while (std::chrono::steady_clock::now() < until) {
                  const Listening now = appListening(client, name);
                  if (!now.running || !now.addresses.isEmpty())
                      break;
                  if (::poll(&stop, 1, int(watchInterval.count())) > 0)
                      return;
              }
              QMetaObject::invokeMethod(
                  keeper, [keeper, name] { keeper->watchEnded(name); }, Qt::QueuedConnection);
          })
    {}
    ~Watch()
    {
        const uint64_t one = 1;
        [[maybe_unused]] const ssize_t written = ::write(stop_, &one, sizeof one);
        thread_.join();
        ::close(stop_);
    }

private:
    int stop_;
    std::thread thread_;
};

// What a wake does on its relay's thread: starts the app, then looks whether it listens. A look
// reads the kernel's two socket tables; the app's own tree is read only once something listens on
// a held port, and pm2 is asked for the tree's root while the app starts up (again only if the
// tree does not listen), so a look costs a few milliseconds and no call to pm2.
class WakeKeeper::Looker
{
public:
    Looker(std::optional<PM2Client> client, QString name, QList<int64_t> ports)
        : client_(std::move(client)), name_(std::move(name)), ports_(std::move(ports))
    {}

    bool start()
    {
        if (!client_ || !client_->startThroughDaemon(name_))
            return false;
        pids_ = runningPids();
        return true;
    }

    QList<ListenAddress> look()
    {
        const QList<ListenAddress> listening = listeningNow();
        if (std::ranges::none_of(listening, [this](const ListenAddress &address) {
                return ports_.contains(address.port);
            }))
            return {};
        QList<ListenAddress> addresses = treeListening(pids_);
        if (addresses.isEmpty()) // restarted by pm2 meanwhile, or still starting
            addresses = treeListening(pids_ = runningPids());
        return addresses;
    }

private:
    QList<int64_t> runningPids() const
    {
        QList<int64_t> pids;
        for (const PM2App &app : client_->list().apps) {
            if (app.name == name_ && app.isRunning() && app.pid)
                pids.append(*app.pid);
        }
        return pids;
    }

    std::optional<PM2Client> client_;
    QString name_;
    QList<int64_t> ports_;
    QList<int64_t> pids_;
};

WakeKeeper::WakeKeeper(Store &store, QObject *parent) : QObject(parent), store_(store)
{
    raiseDescriptorLimit();
}

WakeKeeper::~WakeKeeper()
{
    // The threads post to this object: they end before it does.
    watches_.clear();
    relays_.clear();
}

void WakeKeeper::attach(Monitor &monitor)
{
    connect(&monitor, &Monitor::stoppedAsIdle, this, &WakeKeeper::holdStopped);
    connect(&monitor, &Monitor::letGoRequested, this, &WakeKeeper::letGo);
    connect(&monitor, &Monitor::lastRefreshChanged, this, [this, &monitor] {
        QList<PM2App> apps;
        for (const ServerRow &row : monitor.rows())
            apps.append(row.app);
        reconcile(apps);
    });
    connect(this, &WakeKeeper::changed, &monitor, [this, &monitor] {
        QHash<QString, ServerRow::Waiting> waiting;
        const QMap<QString, QList<int64_t>> held = heldPorts();
        for (auto hold = holds_.begin(); hold != holds_.end(); ++hold)
            waiting.insert(hold.key(), {held.value(hold.key()), portsOf(hold->refused),
                                        hold->state == Hold::State::waking});
        monitor.setWaiting(std::move(waiting));
    });
}

QMap<QString, QList<int64_t>> WakeKeeper::heldPorts() const
{
    QMap<QString, QList<int64_t>> ports;
    for (auto hold = holds_.begin(); hold != holds_.end(); ++hold) {
        QList<ListenAddress> held;
        if (hold->state == Hold::State::held) {
            for (const ListenAddress &address : hold->addresses) {
                if (!hold->refused.contains(address))
                    held.append(address);
            }
        }
        ports.insert(hold.key(), portsOf(held));
    }
    return ports;
}

WakeKeeper::Listening WakeKeeper::appListening(const PM2Client &client, const QString &name)
{
    Listening listening;
    for (const PM2App &app : client.list().apps) {
        if (app.name == name && app.isRunning() && app.pid) {
            listening.running = true;
            listening.addresses += treeListening({*app.pid});
        }
    }
    return listening;
}

QList<ListenAddress> WakeKeeper::treeListening(const QList<int64_t> &pids)
{
    QList<ListenAddress> addresses;
    if (pids.isEmpty())
        return addresses;
    // Only the trees' own sockets: where /proc cannot list children, the snapshot is the whole
    // machine's, and nothing but the app is ever dialled.
    if (const auto snapshot = SystemProbe::procSnapshot(QStringLiteral("/proc"), pids)) {
        for (const int64_t root : pids) {
            for (const int64_t pid : ProcessTree::usage(root, snapshot->processes).pids)
                addresses += snapshot->listeningAddresses.value(pid);
        }
    }
    return addresses;
}

void WakeKeeper::holdStopped(const QString &name, const QList<ListenAddress> &addresses)
{
    if (addresses.isEmpty() || !store_.boolValue(StoreKey::wakeOnRequest))
        return;
    closeSockets(name);
    holds_.insert(name, {.addresses = addresses});
    save();
    bind(name);
}

void WakeKeeper::reconcile(const QList<PM2App> &apps)
{
    if (!std::exchange(reconciled_, true) && store_.boolValue(StoreKey::wakeOnRequest)) {
        const QVariantMap stored = store_.dictionary(StoreKey::heldApps).value_or(QVariantMap());
        for (auto entry = stored.begin(); entry != stored.end(); ++entry) {
            Hold hold;
            for (const QVariant &address : entry->toList()) {
                if (const auto read = fromStored(address))
                    hold.addresses.append(*read);
            }
            if (!hold.addresses.isEmpty() && !holds_.contains(entry.key()))
                holds_.insert(entry.key(), hold);
        }
    }
    QStringList gone;
    for (auto hold = holds_.begin(); hold != holds_.end(); ++hold) {
        const auto app = std::find_if(apps.begin(), apps.end(),
                                      [&](const PM2App &a) { return a.name == hold.key(); });
        if (hold->state != Hold::State::waking && (app == apps.end() || app->isRunning()))
            gone.append(hold.key());
    }
    for (const QString &name : gone)
        letGo(name);
    for (auto hold = holds_.begin(); hold != holds_.end(); ++hold) {
        if (hold->state == Hold::State::held && !sockets_.value(hold.key()))
            bind(hold.key());
    }
    save();
}

void WakeKeeper::letGo(const QString &name)
{
    const QStringList names = name.isEmpty() ? holds_.keys() : QStringList{name};
    for (const QString &each : names) {
        closeSockets(each);
        holds_.remove(each);
    }
    save();
}

void WakeKeeper::processEvent(const QString &event, const QString &name)
{
    if (event == u"delete") {
        letGo(name);
        return;
    }
    if (event != u"start" && event != u"online" && event != u"restart")
        return;
    // Started some other way: its hold is over, before it binds.
    if (holds_.contains(name) && holds_[name].state != Hold::State::waking)
        letGo(name);
    pauseFor(name);
}

void WakeKeeper::bind(const QString &name)
{
    Hold &hold = holds_[name];
    auto *sockets = new PortHold(hold.addresses, this);
    hold.refused = sockets->refused();
    if (sockets->held().isEmpty()) {
        delete sockets;
    } else {
        sockets_.insert(name, sockets);
        // Queued: the notifier that fired is closed by the wake, outside its own signal.
        connect(
            sockets, &PortHold::knocked, this, [this, name] { wake(name); }, Qt::QueuedConnection);
    }
    emit changed();
}

void WakeKeeper::closeSockets(const QString &name)
{
    if (PortHold *sockets = sockets_.take(name)) {
        sockets->close();
        sockets->deleteLater();
    }
}

void WakeKeeper::wake(const QString &name)
{
    PortHold *sockets = sockets_.take(name);
    if (!sockets || !holds_.contains(name))
        return;
    std::vector<HeldConnection> connections = sockets->takeAll();
    sockets->deleteLater();
    holds_[name].state = Hold::State::waking;

    // A client waits: the relay starts the app before anything else is done here.
    auto looker = std::make_shared<Looker>(PM2Client::resolved(store_), name,
                                           portsOf(holds_[name].addresses));
    const int id = nextRelay_++;
    WakeRelay::Hooks hooks{
        .start = [looker] { return looker->start(); },
        .appListens = [looker] { return looker->look(); },
        .woke =
            [this, name](bool listening) {
                QMetaObject::invokeMethod(
                    this, [this, name, listening] { woke(name, listening); }, Qt::QueuedConnection);
            },
        .ended =
            [this, id] {
                QMetaObject::invokeMethod(
                    this, [this, id] { relays_.erase(id); }, Qt::QueuedConnection);
            }};
    relays_.emplace(id, std::make_unique<WakeRelay>(std::move(connections), std::move(hooks)));

    save();
    emit changed();
    // A request is use: the woken app's idle time starts again.
    store_.recordActive({{name, now()}});
}

void WakeKeeper::woke(const QString &name, bool listening)
{
    // Either way the hold is over: a failed app is not held again until its next automatic stop.
    if (holds_.contains(name) && holds_[name].state == Hold::State::waking)
        holds_.remove(name);
    save();
    emit changed();
    if (!listening)
        emit wakeFailed(name);
}

void WakeKeeper::pauseFor(const QString &starter)
{
    // pm2 says which app starts but not on which ports: every other hold lets go at once, and
    // takes up again what the starter left free once it listens.
    const std::optional<PM2Client> client = PM2Client::resolved(store_);
    bool paused = false;
    for (auto hold = holds_.begin(); hold != holds_.end(); ++hold) {
        if (client && hold->state == Hold::State::held) {
            closeSockets(hold.key());
            hold->state = Hold::State::paused;
        }
        paused |= hold->state == Hold::State::paused;
    }
    if (!paused || !client || watches_.contains(starter))
        return;
    watches_.emplace(starter, std::make_unique<Watch>(this, *client, starter));
    emit changed();
}

void WakeKeeper::watchEnded(const QString &starter)
{
    watches_.erase(starter);
    if (!watches_.empty())
        return;
    for (auto hold = holds_.begin(); hold != holds_.end(); ++hold) {
        if (hold->state == Hold::State::paused) {
            hold->state = Hold::State::held;
            bind(hold.key());
        }
    }
}

void WakeKeeper::save()
{
    const QVariantMap stored = storedHolds(holds_);
    if (store_.dictionary(StoreKey::heldApps).value_or(QVariantMap()) != stored)
        store_.setValue(StoreKey::heldApps, stored.isEmpty() ? QVariant() : QVariant(stored));
}

} // namespace nimbrel::wake
