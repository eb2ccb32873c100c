// Drives tests/fakes/fake_pm2 from a test: what it lists, which verbs fail or take their time,
// and what it was asked.
#pragma once

#include "support/test_environment.h"

#include <QStringList>

namespace nimbrel::test {

struct FakeApp
{
    QString name;
    std::optional<qint64> pid;
    QString status = QStringLiteral("online");
};

class FakePM2
{
public:
    explicit FakePM2(TestEnvironment &env);
    ~FakePM2(); // kills a hanging fake by pid
    Q_DISABLE_COPY(FakePM2)

    static QString path() { return QStringLiteral(NIMBREL_FAKE_PM2); }

    void setApps(const QList<FakeApp> &apps);
    void setMode(const char *mode) { put("mode", mode); } // "hang", "garbage", "fail" or ""
    void setFailing(const char *verb) { put(QByteArray("fail-") + verb, {}); } // over ignoring
    void setIgnoring(const char *verb) { put(QByteArray("noop-") + verb, {}); }
    void setDelay(const char *verb, double s)
    {
        put(QByteArray("delay-") + verb, QByteArray::number(s));
    }

    QList<QStringList> calls() const; // every call's arguments, in order
    // The apps the calls of that verb named, ids read as the names they stand for now.
    QStringList namesFor(const char *verb) const;
    void clearCalls() { put("log", {}); }

private:
    void put(const QByteArray &name, const QByteArray &contents) const
    {
        writeFile(dir_ + u'/' + QString::fromLatin1(name), contents);
    }
    QString dir_;
};

} // namespace nimbrel::test
