#include "support/pm2_sandbox.h"

#include "core/pm2_list_parser.h"
#include "support/test_environment.h"

#include <QFile>

#include <gtest/gtest.h>

#include <csignal>

namespace nimbrel::test {

namespace {

QString directoryOf(const QString &path)
{
    return path.left(path.lastIndexOf(u'/'));
}

} // namespace

Pm2Sandbox::~Pm2Sandbox()
{
    // A program under test that lists pm2 (the tray app) starts a daemon here too.
    if (pm2sUsed_.isEmpty() && QFile::exists(pm2Home_ + QStringLiteral("/pm2.pid")))
        pm2sUsed_.insert(currentPm2);
    for (const QString &pm2 : std::as_const(pm2sUsed_))
        rememberPids(pm2);
    for (const QString &pm2 : std::as_const(pm2sUsed_))
        Shell::run(pm2, {QStringLiteral("kill")}, directoryOf(pm2), 30);
    // Whatever survived pm2's own kill goes by pid.
    for (const qint64 pid : std::as_const(pids_)) {
        if (pid > 0)
            ::kill(pid_t(pid), SIGKILL);
    }
}

Shell::Result Pm2Sandbox::run(const QStringList &arguments, const QString &pm2)
{
    pm2sUsed_.insert(pm2);
    return Shell::run(pm2, arguments, directoryOf(pm2), 60);
}

void Pm2Sandbox::startApp(const QString &name, const QString &pm2)
{
    const Shell::Result result = run({QStringLiteral("start"), QStringLiteral(NIMBREL_TEST_SERVER),
                                      QStringLiteral("--name"), name},
                                     pm2);
    ASSERT_EQ(result.status, 0) << result.output.toStdString();
    for (int attempt = 0; attempt < 50 && statusOf(name) != PM2App::Status::online; ++attempt)
        usleep(100'000);
    ASSERT_EQ(statusOf(name), PM2App::Status::online);
}

QList<PM2App> Pm2Sandbox::list(const QString &pm2)
{
    return PM2ListParser::parseOutput(run({QStringLiteral("jlist")}, pm2).output);
}

PM2App::Status Pm2Sandbox::statusOf(const QString &name)
{
    for (const PM2App &app : list()) {
        if (app.name == name)
            return app.status;
    }
    return PM2App::Status::unknown;
}

void Pm2Sandbox::rememberPids(const QString &pm2)
{
    // Asked only while a daemon runs: asking would otherwise spawn one.
    const qint64 daemon = readFile(pm2Home_ + QStringLiteral("/pm2.pid")).trimmed().toLongLong();
    if (daemon <= 0)
        return;
    pids_.insert(daemon);
    const Shell::Result result = Shell::run(pm2, {QStringLiteral("jlist")}, directoryOf(pm2), 20);
    for (const PM2App &app : PM2ListParser::parseOutput(result.output)) {
        if (app.pid)
            pids_.insert(*app.pid);
    }
}

} // namespace nimbrel::test
