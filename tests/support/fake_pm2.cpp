#include "support/fake_pm2.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <csignal>

namespace nimbrel::test {

FakePM2::FakePM2(TestEnvironment &env) : dir_(env.root() + QStringLiteral("/fake-pm2"))
{
    clearCalls();
    env.set("FAKE_PM2_DIR", dir_);
}

FakePM2::~FakePM2()
{
    if (const qint64 pid = readFile(dir_ + "/pid").trimmed().toLongLong(); pid > 0)
        ::kill(pid_t(pid), SIGKILL);
}

void FakePM2::setApps(const QList<FakeApp> &apps)
{
    QJsonArray list;
    for (int i = 0; i < apps.size(); ++i)
        list.append(QJsonObject{{"name", apps[i].name},
                                {"pm_id", i},
                                {"pid", apps[i].pid.value_or(0)},
                                {"pm2_env", QJsonObject{{"status", apps[i].status}}}});
    put("jlist", QJsonDocument(list).toJson(QJsonDocument::Compact));
}

// The fake logs each call as one line: a JSON array of its arguments.
QList<QStringList> FakePM2::calls() const
{
    QList<QStringList> calls;
    for (const QByteArray &line : readFile(dir_ + "/log").split('\n'))
        if (!line.isEmpty())
            calls.append(
                QVariant(QJsonDocument::fromJson(line).array().toVariantList()).toStringList());
    return calls;
}

QStringList FakePM2::namesFor(const char *verb) const
{
    QHash<QString, QString> names;
    for (const QJsonValue &app : QJsonDocument::fromJson(readFile(dir_ + "/jlist")).array())
        names.insert(QString::number(app["pm_id"].toInt()), app["name"].toString());
    QStringList named;
    for (const QStringList &call : calls())
        if (call.size() == 2 && call[0] == QLatin1String(verb))
            named.append(names.value(call[1], call[1]));
    return named;
}

} // namespace nimbrel::test
