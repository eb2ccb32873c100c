// The listening sockets Nimbrel keeps for one stopped app, so that its next request can wake it.
// The event loop waits on them: nothing runs while nobody connects.
#pragma once

#include "app/wake/socket_address.h"

#include <QList>
#include <QObject>

#include <vector>

class QSocketNotifier;

namespace nimbrel::wake {

// A client accepted on a held socket, and the held address it came in on.
struct HeldConnection
{
    int fd = -1;
    ListenAddress on{};
};

class PortHold : public QObject
{
    Q_OBJECT

public:
    // Binds and listens on exactly `addresses`, with SO_REUSEADDR (never SO_REUSEPORT). A port
    // something listens on now, or one that cannot be bound, is not held: see refused().
    // `[::]:P` is dual-stack where `addresses` has no IPv4 address on P, else IPv6-only.
    explicit PortHold(const QList<ListenAddress> &addresses, QObject *parent = nullptr);
    ~PortHold() override;

    const QList<ListenAddress> &held() const { return held_; }
    const QList<ListenAddress> &refused() const { return refused_; }

    // Accepts every connection queued on every listener, then closes all the listeners at once,
    // so that the app can bind them. The caller owns the descriptors.
    std::vector<HeldConnection> takeAll();
    // Closes the listeners; what is still queued is reset.
    void close();

signals:
    // A client connected to one of the held sockets.
    void knocked();

private:
    struct Listener
    {
        int fd;
        ListenAddress address;
        QSocketNotifier *notifier;
    };
    static int listenOn(const ListenAddress &address, bool dualStack);

    std::vector<Listener> listeners_;
    QList<ListenAddress> held_;
    QList<ListenAddress> refused_;
};

} // namespace nimbrel::wake
