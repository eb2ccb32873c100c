#include "support/pm2_sandbox.h"

#include "core/pm2_list_parser.h"

#include <unistd.h>

#include <gtest/gtest.h>

namespace nimbrel::test {

Shell::Result pm2(const QStringList &arguments, const QString &version)
{
    return Shell::run(version, arguments, version.left(version.lastIndexOf(u'/')), 60);
}

QList<PM2App> pm2List(const QString &version)
{
    return PM2ListParser::parseOutput(pm2({QStringLiteral("jlist")}, version).output);
}

PM2App::Status statusOf(const QString &name)
{
    for (const PM2App &app : pm2List())
        if (app.name == name)
            return app.status;
    return PM2App::Status::unknown;
}

void startApp(const QString &name, const QString &version, int instances)
{
    QStringList arguments{"start", NIMBREL_TEST_SERVER, "--name", name};
    if (instances > 1) // one instance runs in fork mode, and its port is its own
        arguments << "-i" << QString::number(instances);
    const Shell::Result result = pm2(arguments, version);
    ASSERT_EQ(result.status, 0) << result.output.toStdString();
    for (int attempt = 0; attempt < 300; ++attempt, usleep(100'000)) {
        const QList<PM2App> apps = pm2List(version);
        if (instances == std::ranges::count_if(apps, [&](const PM2App &app) {
                return app.name == name && app.status == PM2App::Status::online;
            }))
            return;
    }
    FAIL() << name.toStdString() << " never came online";
}

} // namespace nimbrel::test
