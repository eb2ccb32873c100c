// Drives tests/fakes/fake_pm2 from a test: what it lists, which verbs fail or take their time,
// and what it was asked.
#pragma once

#include "support/test_environment.h"

#include <QStringList>

#include <optional>

namespace nimbrel::test {

struct FakeApp
{
    QString name;
    std::optional<qint64> pid;
    QString status = QStringLiteral("online");
};

class FakePm2
{
public:
    explicit FakePm2(TestEnvironment &env);
    ~FakePm2(); // kills a hanging fake by pid
    FakePm2(const FakePm2 &) = delete;
    FakePm2 &operator=(const FakePm2 &) = delete;

    static QString path() { return QStringLiteral(NIMBREL_FAKE_PM2); }

    void setList(const QByteArray &output) { put("jlist", output); }
    void setApps(const QList<FakeApp> &apps);
    void setMode(const char *mode) { put("mode", mode); } // "hang", "garbage", "fail" or ""
    void setFailing(const char *verb, bool failing = true);
    void setIgnoring(const char *verb) { put("noop-" + QString::fromLatin1(verb), {}); }
    void setDelay(const char *verb, double seconds)
    {
        put("delay-" + QString::fromLatin1(verb), QByteArray::number(seconds));
    }

    QList<QStringList> calls() const; // every call's arguments, in order
    // Only the calls with that verb, as their remaining arguments.
    QStringList namesFor(const char *verb) const;
    void clearCalls() { put("log", {}); }

private:
    void put(const QString &name, const QByteArray &contents) const
    {
        writeFile(dir_ + u'/' + name, contents);
    }
    QString dir_;
};

} // namespace nimbrel::test
