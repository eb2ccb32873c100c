// A private pm2 for one test: its daemon lives under the test's PM2_HOME, and every process it
// started is gone when the sandbox is.
#pragma once

#include "app/shell.h"
#include "core/pm2_app.h"

#include <QList>
#include <QSet>
#include <QString>

namespace nimbrel::test {

inline const QString currentPm2 = QStringLiteral(NIMBREL_PM2);
inline const QString olderPm2 = QStringLiteral(NIMBREL_PM2_OLD);

class Pm2Sandbox
{
public:
    explicit Pm2Sandbox(QString pm2Home) : pm2Home_(std::move(pm2Home)) {}
    ~Pm2Sandbox();
    Pm2Sandbox(const Pm2Sandbox &) = delete;
    Pm2Sandbox &operator=(const Pm2Sandbox &) = delete;

    Shell::Result run(const QStringList &arguments, const QString &pm2 = currentPm2);
    // Starts the test server under pm2 as `name` and waits until pm2 reports it online.
    void startApp(const QString &name, const QString &pm2 = currentPm2);
    QList<PM2App> list(const QString &pm2 = currentPm2);
    PM2App::Status statusOf(const QString &name);

private:
    void rememberPids(const QString &pm2);

    QString pm2Home_;
    QSet<QString> pm2sUsed_;
    QSet<qint64> pids_;
};

} // namespace nimbrel::test
