#include "app/wake/socket_address.h"

#include <QFile>

#include <algorithm>
#include <arpa/inet.h>
#include <cstring>
#include <netinet/in.h>

namespace nimbrel::wake {

QString addressText(const ListenAddress &address)
{
    char text[INET6_ADDRSTRLEN] = {};
    ::inet_ntop(address.v6 ? AF_INET6 : AF_INET, address.bytes.data(), text, sizeof text);
    return QString::fromLatin1(text);
}

QVariantMap toStored(const ListenAddress &address)
{
    return {
        {QStringLiteral("family"), address.v6 ? QStringLiteral("ipv6") : QStringLiteral("ipv4")},
        {QStringLiteral("address"), addressText(address)},
        {QStringLiteral("port"), qint64(address.port)}};
}

std::optional<ListenAddress> fromStored(const QVariant &stored)
{
    const QVariantMap map = stored.toMap();
    const QString family = map.value(QStringLiteral("family")).toString();
    const QVariant port = map.value(QStringLiteral("port"));
    bool isNumber = false;
    const qint64 number = port.toLongLong(&isNumber);
    if ((family != u"ipv4" && family != u"ipv6") || !isNumber || number < 1 || number > 65535 ||
        port.typeId() == QMetaType::QString)
        return std::nullopt;
    ListenAddress address{.v6 = family == u"ipv6", .port = number};
    const QByteArray text = map.value(QStringLiteral("address")).toString().toLatin1();
    if (::inet_pton(address.v6 ? AF_INET6 : AF_INET, text.constData(), address.bytes.data()) != 1)
        return std::nullopt;
    return address;
}

socklen_t toSocketAddress(const ListenAddress &address, sockaddr_storage &out)
{
    std::memset(&out, 0, sizeof out);
    if (address.v6) {
        auto &v6 = reinterpret_cast<sockaddr_in6 &>(out);
        v6.sin6_family = AF_INET6;
        v6.sin6_port = htons(uint16_t(address.port));
        std::memcpy(&v6.sin6_addr, address.bytes.data(), 16);
        return sizeof v6;
    }
    auto &v4 = reinterpret_cast<sockaddr_in &>(out);
    v4.sin_family = AF_INET;
    v4.sin_port = htons(uint16_t(address.port));
    std::memcpy(&v4.sin_addr, address.bytes.data(), 4);
    return sizeof v4;
}

std::optional<ListenAddress> loopbackOf(const ListenAddress &listened)
{
    if (listened.isLoopback())
        return listened;
    if (!listened.isWildcard())
        return std::nullopt;
    ListenAddress loopback{.v6 = listened.v6, .port = listened.port};
    if (listened.v6)
        loopback.bytes[15] = 1;
    else
        loopback.bytes = {127, 0, 0, 1};
    return loopback;
}

std::optional<ListenAddress> relayTarget(const ListenAddress &heldOn,
                                         const QList<ListenAddress> &appListens)
{
    for (const bool sameFamily : {true, false}) {
        for (const ListenAddress &listened : appListens) {
            if (listened.port != heldOn.port || (listened.v6 == heldOn.v6) != sameFamily)
                continue;
            if (const auto target = loopbackOf(listened))
                return target;
        }
    }
    return std::nullopt;
}

QList<ListenAddress> listeningNow()
{
    ProcFiles::TcpSockets sockets;
    for (const char *table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
        QFile file(QString::fromLatin1(table));
        if (file.open(QIODevice::ReadOnly))
            ProcFiles::addTcpTable(file.readAll(), sockets);
    }
    return sockets.addresses.values();
}

QList<int64_t> portsOf(const QList<ListenAddress> &addresses)
{
    QList<int64_t> ports;
    for (const ListenAddress &address : addresses)
        ports.append(address.port);
    std::sort(ports.begin(), ports.end());
    ports.erase(std::unique(ports.begin(), ports.end()), ports.end());
    return ports;
}

} // namespace nimbrel::wake
