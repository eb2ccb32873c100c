// Pins the world for one test: HOME, XDG_CONFIG_HOME, PM2_HOME, TZ and LANG point into a fresh
// temporary directory, and everything is put back afterwards. Any pm2 daemon whose PM2_HOME lies
// in that directory (started by the test or by the program under test) ends with it, and so do
// the apps it started. Also the private pm2 of a test, the files and the connections it makes.
#pragma once

#include "app/pm2/pm2_locator.h"
#include "app/system/shell.h"
#include "core/instant.h"
#include "core/pm2_app.h"

#include <QTemporaryDir>

#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace nimbrel::test {

class TestEnvironment
{
public:
    TestEnvironment();
    ~TestEnvironment();
    Q_DISABLE_COPY(TestEnvironment)

    QString root() const { return dir_.path(); }
    QString home() const { return root() + QStringLiteral("/home"); }
    QString config() const { return root() + QStringLiteral("/config"); }
    QString pm2Home() const { return root() + QStringLiteral("/pm2"); }
    QString settingsFile() const { return config() + QStringLiteral("/Nimbrel/Nimbrel.json"); }

    // Sets (or with nullopt unsets) a variable for the rest of the test.
    void set(const char *name, const std::optional<QString> &value);

private:
    QTemporaryDir dir_;
    std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

// Writes `contents` to `path`, creating its directory; `executable` sets mode 0755.
void writeFile(const QString &path, const QByteArray &contents, bool executable = false);
QByteArray readFile(const QString &path);

inline const QString currentPM2 = QStringLiteral(NIMBREL_PM2);
inline const QString olderPM2 = QStringLiteral(NIMBREL_PM2_OLD);

// pm2 in the test's PM2_HOME; its daemon starts on the first call.
Shell::Result pm2(const QStringList &arguments, const QString &version = currentPM2);
QList<PM2App> pm2List(const QString &version = currentPM2);
PM2App::Status statusOf(const QString &name);
// Starts `instances` copies of the test server as `name` and waits until pm2 has them online.
void startApp(const QString &name, const QString &version = currentPM2, int instances = 1);

// A TCP connection to 127.0.0.1:port, held open until the descriptor is closed; -1 on failure.
int connectToLoopback(qint64 port);

} // namespace nimbrel::test

// Readable test failures for Qt texts.
inline void PrintTo(const QString &text, std::ostream *out)
{
    *out << '"' << text.toStdString() << '"';
}
