// The private pm2 of a test. Its daemon lives under the PM2_HOME a TestEnvironment set, and ends
// with that environment together with every app it started.
#pragma once

#include "app/shell.h"
#include "core/pm2_app.h"
#include "support/test_environment.h"

namespace nimbrel::test {

inline const QString currentPm2 = QStringLiteral(NIMBREL_PM2);
inline const QString olderPm2 = QStringLiteral(NIMBREL_PM2_OLD);

Shell::Result pm2(const QStringList &arguments, const QString &version = currentPm2);
QList<PM2App> pm2List(const QString &version = currentPm2);
PM2App::Status statusOf(const QString &name);
// Starts `instances` copies of the test server as `name` and waits until pm2 has them online.
void startApp(const QString &name, const QString &version = currentPm2, int instances = 1);

} // namespace nimbrel::test
