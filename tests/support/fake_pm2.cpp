#include "support/fake_pm2.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <csignal>

namespace nimbrel::test {

FakePm2::FakePm2(TestEnvironment &env) : dir_(env.root() + QStringLiteral("/fake-pm2"))
{
    writeFile(dir_ + "/log", {});
    env.set("FAKE_PM2_DIR", dir_);
}

FakePm2::~FakePm2()
{
    const qint64 pid = readFile(dir_ + "/pid").trimmed().toLongLong();
    if (pid > 0)
        ::kill(pid_t(pid), SIGKILL);
}

void FakePm2::setList(const QByteArray &output)
{
    writeFile(dir_ + "/jlist", output);
}

void FakePm2::setApps(const QList<FakeApp> &apps)
{
    QJsonArray list;
    for (int i = 0; i < apps.size(); ++i) {
        QJsonObject app{{"name", apps[i].name},
                        {"pm_id", i},
                        {"pid", apps[i].pid.value_or(0)},
                        {"pm2_env", QJsonObject{{"status", apps[i].status}}}};
        list.append(app);
    }
    setList(QJsonDocument(list).toJson(QJsonDocument::Compact));
}

void FakePm2::setMode(const char *mode)
{
    writeFile(dir_ + "/mode", QByteArray(mode));
}

void FakePm2::setFailing(const char *verb, bool failing)
{
    const QString flag = dir_ + "/fail-" + QLatin1String(verb);
    if (failing)
        writeFile(flag, {});
    else
        QFile::remove(flag);
}

void FakePm2::setIgnoring(const char *verb)
{
    writeFile(dir_ + "/noop-" + QLatin1String(verb), {});
}

void FakePm2::setDelay(const char *verb, double seconds)
{
    writeFile(dir_ + "/delay-" + QLatin1String(verb), QByteArray::number(seconds));
}

QList<QStringList> FakePm2::calls() const
{
    QList<QStringList> calls;
    for (const QString &line : QString::fromUtf8(readFile(dir_ + "/log")).split(u'\n')) {
        if (line == u"call")
            calls.append(QStringList{});
        else if (!calls.isEmpty())
            calls.back().append(line);
    }
    if (!calls.isEmpty() && !calls.back().isEmpty())
        calls.back().removeLast(); // the log's final newline, not an argument
    return calls;
}

QStringList FakePm2::namesFor(const char *verb) const
{
    QStringList names;
    for (const QStringList &call : calls()) {
        if (call.size() == 2 && call[0] == QLatin1String(verb))
            names.append(call[1]);
    }
    return names;
}

void FakePm2::clearCalls()
{
    writeFile(dir_ + "/log", {});
}

} // namespace nimbrel::test
