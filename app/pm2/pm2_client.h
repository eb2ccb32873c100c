// Lists and controls pm2 apps by running the pm2 executable.
#pragma once

#include "core/pm2_app.h"

#include <QList>
#include <QString>

#include <optional>

namespace nimbrel {

class Store;

class PM2Client
{
public:
    static constexpr double listTimeout = 20;
    static constexpr double actionTimeout = 60;

    explicit PM2Client(QString executable) : executable_(std::move(executable)) {}

    // The pm2 every caller uses: the stored "pm2Path" as it stands, else the one found on disk
    // or already named by the user's login shell. Never blocks.
    static std::optional<PM2Client> resolved(Store &store);
    // The same, asking the login shell when nothing else finds pm2 (up to its 5 s limit): for
    // the command line, which may wait.
    static std::optional<PM2Client> resolvedAskingShell(Store &store);

    const QString &executable() const { return executable_; }

    // A list of pm2's apps, or why there is none: a failed list is never an empty one.
    struct List
    {
        QList<PM2App> apps;
        std::optional<QString> failure{}; // one line for the user, e.g. "pm2 が応答しません"
    };

    // pm2's apps in its order, asked of pm2's daemon over its socket, else of `pm2 jlist`
    // (which also starts a daemon that is down). A daemon that took the connection and then
    // stays silent is not asked again through the command: the list has failed.
    // The socket is the one of our own PM2_HOME, whatever a wrapper at `executable` would set.
    List list() const;
    // The same list from `pm2 jlist` alone.
    List listByCommand() const;
    // Each acts on the app of that name alone, named to pm2 by its id (every instance's id) from
    // a list asked just before: pm2 reads the names "all" and "/…/" as every app and as a
    // pattern. True when pm2 exited with status 0; false when the list failed or does not hold
    // the name.
    bool start(const QString &name) const { return act(QStringLiteral("start"), name); }
    bool stop(const QString &name) const { return act(QStringLiteral("stop"), name); }
    bool restart(const QString &name) const { return act(QStringLiteral("restart"), name); }
    // start(), asking pm2's daemon over its socket as the command would, without the node start-up
    // the command costs: for a wake, where a client waits. The command when the socket is unusable.
    bool startThroughDaemon(const QString &name) const;

private:
    bool act(const QString &verb, const QString &name) const;
    // pm2 is a node script: its own directory goes first on PATH so the node beside it runs it.
    QString directory() const;

    QString executable_;
};

} // namespace nimbrel
