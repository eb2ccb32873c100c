// Drives tests/fakes/fake_pm2 from a test: what it lists, which verbs fail or take their time,
// and what it was asked.
#pragma once

#include "support/test_environment.h"

#include <QByteArray>
#include <QList>
#include <QString>
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

    void setList(const QByteArray &output);
    void setApps(const QList<FakeApp> &apps);
    void setMode(const char *mode); // "hang", "garbage", "fail" or "" for normal
    void setFailing(const char *verb, bool failing = true);
    void setIgnoring(const char *verb); // the verb succeeds and changes nothing
    void setDelay(const char *verb, double seconds);

    // Every call's arguments, in order.
    QList<QStringList> calls() const;
    // Only the calls with that verb, as their remaining arguments.
    QStringList namesFor(const char *verb) const;
    void clearCalls();

private:
    QString dir_;
};

} // namespace nimbrel::test
