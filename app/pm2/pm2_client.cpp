#include "app/pm2/pm2_client.h"

#include "app/pm2/pm2_locator.h"
#include "app/pm2/pm2_socket.h"
#include "app/store.h"
#include "app/system/shell.h"
#include "core/pm2_list_parser.h"

namespace nimbrel {

namespace {

// Not a static QString: the monitor's thread may still list while the process exits.
QString notAnswering()
{
    return QStringLiteral("pm2 が応答しません");
}

} // namespace

std::optional<PM2Client> PM2Client::resolved(Store &store)
{
    if (auto stored = store.text(StoreKey::pm2Path))
        return PM2Client(std::move(*stored));
    if (auto found = PM2Locator::shared().known())
        return PM2Client(std::move(*found));
    return std::nullopt;
}

std::optional<PM2Client> PM2Client::resolvedAskingShell(Store &store)
{
    if (auto stored = store.text(StoreKey::pm2Path))
        return PM2Client(std::move(*stored));
    if (auto found = PM2Locator::shared().locate())
        return PM2Client(std::move(*found));
    return std::nullopt;
}

PM2Client::List PM2Client::list() const
{
    PM2Socket::Answer answer = PM2Socket::list(PM2Socket::path());
    switch (answer.kind) {
    case PM2Socket::Answer::Kind::apps:
        return {std::move(answer.apps)};
    case PM2Socket::Answer::Kind::silent:
        return {{}, notAnswering()};
    case PM2Socket::Answer::Kind::unusable:
        break;
    }
    return listByCommand();
}

PM2Client::List PM2Client::listByCommand() const
{
    const Shell::Result result =
        Shell::run(executable_, {QStringLiteral("jlist")}, directory(), listTimeout);
    if (result.status == Shell::launchFailed)
        return {{}, QStringLiteral("pm2 を") + result.output};
    if (result.status == Shell::timedOut)
        return {{}, notAnswering()};
    if (auto apps = PM2ListParser::parseOutput(result.output))
        return {std::move(*apps)};
    return {{}, QStringLiteral("pm2 の一覧を読めません")};
}

bool PM2Client::startThroughDaemon(const QString &name) const
{
    switch (PM2Socket::start(PM2Socket::path(), name, actionTimeout)) {
    case PM2Socket::Started::started:
        return true;
    case PM2Socket::Started::failed:
    case PM2Socket::Started::silent:
        return false;
    case PM2Socket::Started::unusable:
        break;
    }
    return start(name);
}

bool PM2Client::act(const QString &verb, const QString &name) const
{
    const List current = list();
    if (current.failure)
        return false;
    QStringList arguments{verb};
    for (const PM2App &app : current.apps) {
        if (app.name == name && app.pmId >= 0)
            arguments.append(QString::number(app.pmId));
    }
    if (arguments.size() == 1)
        return false;
    return Shell::run(executable_, arguments, directory(), actionTimeout).status == 0;
}

QString PM2Client::directory() const
{
    const qsizetype slash = executable_.lastIndexOf(u'/');
    if (slash < 0)
        return {};
    return slash == 0 ? QStringLiteral("/") : executable_.left(slash);
}

} // namespace nimbrel
