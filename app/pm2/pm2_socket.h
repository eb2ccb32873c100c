// The pm2 list straight from pm2's daemon over its unix socket: one call, about a millisecond of
// our CPU, where `pm2 jlist` starts node and loads pm2's whole command line for the same answer.
#pragma once

#include "core/pm2_app.h"

#include <QList>
#include <QString>

namespace nimbrel::PM2Socket {

// Connecting, asking and reading the answer together, so a stuck daemon costs little.
inline constexpr double timeout = 2;

// $PM2_HOME/rpc.sock, PM2_HOME taken from our own environment and defaulting to ~/.pm2.
QString path();

struct Answer
{
    // unusable: no socket, a refused connection, a connection closed unanswered, a broken frame,
    // an error reply or a reply that is not a list; the pm2 command may still get the list.
    // silent: a daemon is there (it took the connection, or its queue is full) but did not
    // answer within the limit; the pm2 command would only ask that same daemon again.
    enum class Kind { apps, unusable, silent } kind = Kind::unusable;
    QList<PM2App> apps{};
};

// The apps of one getMonitorData call to the daemon at `socketPath`, in pm2's order.
Answer list(const QString &socketPath, double limit = timeout);

// Starts every instance of the app `name` with the calls `pm2 start NAME` makes of the daemon
// (restartProcessId, then the "restart" notice on pm2's bus), without a node start-up for pm2's
// command line. unusable and silent as for the list; failed: no such app, or the daemon refused.
// The list before the calls has the list's limit; the calls `limit` (pm2 answers them once the
// app's process runs, which a loaded machine may take a while to give it).
enum class Started { started, failed, unusable, silent };
Started start(const QString &socketPath, const QString &name, double limit);

} // namespace nimbrel::PM2Socket
