// Listening ports from `lsof -nP -iTCP -sTCP:LISTEN` and established connections per local
// port from netstat, in the Linux forms (127.0.0.1:3000, [::1]:3000, :::3000) and the BSD ones
// (127.0.0.1.3000, ::1.3000, *.3000).
#pragma once

#include <QHash>
#include <QSet>
#include <QStringView>

#include <cstdint>
#include <optional>

namespace nimbrel::PortProbe {

using ListeningPorts = QHash<int64_t, QSet<int64_t>>; // pid -> ports it listens on
using EstablishedCounts = QHash<int64_t, int64_t>;    // local port -> established connections

ListeningPorts listeningPorts(QStringView lsofOutput);
// Only the local side of each connection counts: a loopback connection to a server on 3000 is
// counted once under 3000 (the client's half has an ephemeral local port).
EstablishedCounts establishedCounts(QStringView netstatOutput);
// The port after the last colon, else after the last full stop; nothing for a wildcard port.
std::optional<int64_t> port(QStringView address);

} // namespace nimbrel::PortProbe
