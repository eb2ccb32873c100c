// Ending processes we did not start: a process is its pid together with its start time, and a
// signal reaches it only through a pidfd opened and then checked against both, so a pid the
// kernel has since given to another process is never hit.
#pragma once

#include <QHashFunctions>
#include <QList>
#include <QString>

#include <cstdint>
#include <optional>

namespace nimbrel::Strays {

struct ProcessKey
{
    int64_t pid = 0;
    int64_t startTicks = 0; // /proc/PID/stat's field 22

    bool operator==(const ProcessKey &) const = default;
};

inline size_t qHash(const ProcessKey &key, size_t seed = 0)
{
    return qHashMulti(seed, key.pid, key.startTicks);
}

// pm2's own grace between asking a process to end and killing it.
inline constexpr int killTimeoutMs = 1600;

inline const QString procRoot = QStringLiteral("/proc");

// The key of `pid` as it runs now, when it runs and belongs to our user; read from root/PID
// (a tree laid out like /proc in tests).
std::optional<ProcessKey> keyOf(int64_t pid, const QString &root = procRoot);

// Ends `processes`: SIGTERM, then SIGKILL to those still there after killTimeoutMs, and waits
// (about a second more at most) until they are gone, so that their ports are free on return.
// A key whose pid now runs another process, or another user's, or our own, is left alone.
// Returns the keys it signalled.
QList<ProcessKey> end(const QList<ProcessKey> &processes, const QString &root = procRoot);

} // namespace nimbrel::Strays
