// The addresses a stopped app is held on: how they are written in the settings, turned into
// sockets' addresses, and who listens on a port right now.
#pragma once

#include "core/proc_files.h"

#include <QList>
#include <QString>
#include <QVariant>

#include <optional>
#include <sys/socket.h>

namespace nimbrel::wake {

using ProcFiles::ListenAddress;

// "127.0.0.1", "::".
QString addressText(const ListenAddress &address);
// {"family": "ipv4"|"ipv6", "address": "127.0.0.1", "port": 3000}, as the settings keep it.
QVariantMap toStored(const ListenAddress &address);
std::optional<ListenAddress> fromStored(const QVariant &stored);

// The socket address to bind or dial; its length.
socklen_t toSocketAddress(const ListenAddress &address, sockaddr_storage &out);

// Where to dial an app that listens on `listened`: the loopback address of its family for a
// wildcard, a loopback address as it is, nothing for any other address (nothing else is dialled).
std::optional<ListenAddress> loopbackOf(const ListenAddress &listened);

// The app's address to relay a connection that came in on `heldOn` to: on the same port, the
// same family first. Nothing when the app listens there on no loopback or wildcard address.
std::optional<ListenAddress> relayTarget(const ListenAddress &heldOn,
                                         const QList<ListenAddress> &appListens);

// Every listening TCP socket of the machine, from /proc/net/tcp and tcp6.
QList<ListenAddress> listeningNow();

// The distinct ports of `addresses`, ascending.
QList<int64_t> portsOf(const QList<ListenAddress> &addresses);

} // namespace nimbrel::wake
