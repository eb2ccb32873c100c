#include "app/wake/port_hold.h"

#include <QSocketNotifier>

#include <algorithm>
#include <cerrno>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace nimbrel::wake {

PortHold::PortHold(const QList<ListenAddress> &addresses, QObject *parent) : QObject(parent)
{
    const QList<ListenAddress> busy = listeningNow();
    for (const ListenAddress &address : addresses) {
        const auto samePort = [&](const ListenAddress &other) {
            return other.port == address.port;
        };
        const bool hasIPv4Twin = std::any_of(addresses.begin(), addresses.end(),
                                             [&](const auto &a) { return samePort(a) && !a.v6; });
        // Whoever listens on the port, on whatever address, keeps it to themselves.
        const int fd = std::any_of(busy.begin(), busy.end(), samePort)
                           ? -1
                           : listenOn(address, address.v6 && address.isWildcard() && !hasIPv4Twin);
        if (fd < 0) {
            refused_.append(address);
            continue;
        }
        auto *notifier = new QSocketNotifier(fd, QSocketNotifier::Read, this);
        connect(notifier, &QSocketNotifier::activated, this, &PortHold::knocked);
        listeners_.push_back({fd, address, notifier});
        held_.append(address);
    }
}

PortHold::~PortHold()
{
    close();
}

int PortHold::listenOn(const ListenAddress &address, bool dualStack)
{
    const int fd = ::socket(address.v6 ? AF_INET6 : AF_INET,
                            SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_TCP);
    if (fd < 0)
        return -1;
    const int on = 1;
    const int v6Only = dualStack ? 0 : 1;
    sockaddr_storage socketAddress;
    const socklen_t length = toSocketAddress(address, socketAddress);
    if (::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
        (address.v6 && ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &v6Only, sizeof v6Only) != 0) ||
        ::bind(fd, reinterpret_cast<const sockaddr *>(&socketAddress), length) != 0 ||
        ::listen(fd, SOMAXCONN) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

std::vector<HeldConnection> PortHold::takeAll()
{
    std::vector<HeldConnection> taken;
    for (const Listener &listener : listeners_) {
        for (;;) {
            const int client =
                ::accept4(listener.fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (client >= 0)
                taken.push_back({client, listener.address});
            else if (errno != EINTR && errno != ECONNABORTED)
                break; // EAGAIN: the queue is empty; EMFILE: the rest are reset at close
        }
    }
    close();
    return taken;
}

void PortHold::close()
{
    for (const Listener &listener : listeners_) {
        // Possibly inside its own signal: deleted once it returns.
        listener.notifier->setEnabled(false);
        listener.notifier->deleteLater();
        ::close(listener.fd);
    }
    listeners_.clear();
}

} // namespace nimbrel::wake
