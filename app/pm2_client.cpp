#include "app/pm2_client.h"

#include "app/pm2_locator.h"
#include "app/pm2_socket.h"
#include "app/shell.h"
#include "app/store.h"
#include "core/pm2_list_parser.h"

namespace nimbrel {

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

QList<PM2App> PM2Client::list() const
{
    if (auto apps = PM2Socket::list(PM2Socket::path()))
        return std::move(*apps);
    return listByCommand();
}

QList<PM2App> PM2Client::listByCommand() const
{
    const Shell::Result result =
        Shell::run(executable_, {QStringLiteral("jlist")}, directory(), listTimeout);
    return PM2ListParser::parseOutput(result.output);
}

bool PM2Client::act(const QString &verb, const QString &name) const
{
    return Shell::run(executable_, {verb, name}, directory(), actionTimeout).status == 0;
}

QString PM2Client::directory() const
{
    const qsizetype slash = executable_.lastIndexOf(u'/');
    if (slash < 0)
        return {};
    return slash == 0 ? QStringLiteral("/") : executable_.left(slash);
}

} // namespace nimbrel
