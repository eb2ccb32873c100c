// Finding what a pm2 app left behind: the processes whose environment carries the app's pm2
// marks, found in one pass over /proc, and the ports such processes hold.
#pragma once

#include "app/strays/process_end.h"

#include <QHash>
#include <QList>
#include <QSet>
#include <QString>

#include <cstdint>
#include <optional>

namespace nimbrel::Strays {

// One process left behind, as the panel shows it.
struct Stray
{
    ProcessKey process{};
    QList<int64_t> ports{}; // listening, ascending

    bool operator==(const Stray &) const = default;
};

// An app as pm2 marks the environment of what it starts.
struct AppMark
{
    int64_t pmId = -1;
    QString name{};
};

// $PM2_HOME, defaulting to ~/.pm2, as our pm2 client reaches it.
QString pm2Home();
// pm2's daemon, from $PM2_HOME/pm2.pid: it carries PM2_HOME too, and is never ours to end.
std::optional<int64_t> daemonPid(const QString &home);

// Our user's processes (never pm2's daemon, never us) whose environment has PM2_HOME `home` and
// the pm_id and name of one of `apps`, by that pm_id. One pass over root (a tree laid out like
// /proc in tests): only our own processes' environments are read.
QHash<int64_t, QList<ProcessKey>> marked(const QList<AppMark> &apps, const QString &home,
                                         const QString &root = procRoot);

// Those of `keys` still running as the same process, ours, in their order, without repeats.
QList<ProcessKey> living(const QList<ProcessKey> &keys, const QString &root = procRoot);

// The processes of `keys` with the ports they listen on.
QList<Stray> withPorts(const QList<ProcessKey> &keys, const QString &root = procRoot);

} // namespace nimbrel::Strays
