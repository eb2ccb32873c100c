#include "support/test_environment.h"

#include "app/pm2_locator.h"
#include "app/shell.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QSet>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <csignal>
#include <cstdlib>
#include <netinet/in.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

namespace nimbrel::test {

namespace {

// Every temporary root this test program made, so the guard below can look after them all.
QStringList &rootsMade()
{
    static QStringList roots;
    return roots;
}

bool isUnder(const QString &path, const QString &root)
{
    return path == root || path.startsWith(root + u'/');
}

QList<qint64> numericEntries(const QString &directory)
{
    QList<qint64> numbers;
    for (const QString &entry : QDir(directory).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        bool ok = false;
        const qint64 number = entry.toLongLong(&ok);
        if (ok)
            numbers.append(number);
    }
    return numbers;
}

QString pm2HomeOf(qint64 pid)
{
    const QString proc = QStringLiteral("/proc/") + QString::number(pid);
    if (!readFile(proc + QStringLiteral("/cmdline")).startsWith("PM2 v"))
        return {};
    QString home;
    for (const QByteArray &variable : readFile(proc + QStringLiteral("/environ")).split('\0')) {
        if (variable.startsWith("PM2_HOME="))
            return QFile::decodeName(variable.mid(9));
        if (variable.startsWith("HOME="))
            home = QFile::decodeName(variable.mid(5)) + QStringLiteral("/.pm2"); // pm2's default
    }
    return home;
}

// `pid` and every process below it.
QSet<qint64> treeOf(qint64 pid)
{
    QHash<qint64, QList<qint64>> children;
    for (const qint64 process : numericEntries(QStringLiteral("/proc"))) {
        const QByteArray stat = readFile(QStringLiteral("/proc/%1/stat").arg(process));
        const QList<QByteArray> fields = stat.mid(stat.lastIndexOf(')') + 2).split(' ');
        if (fields.size() > 1)
            children[fields[1].toLongLong()].append(process);
    }
    QSet<qint64> tree{pid};
    QList<qint64> pending{pid};
    while (!pending.isEmpty()) {
        for (const qint64 child : children.value(pending.takeLast())) {
            if (!tree.contains(child)) {
                tree.insert(child);
                pending.append(child);
            }
        }
    }
    return tree;
}

bool runs(qint64 pid)
{
    const QByteArray stat = readFile(QStringLiteral("/proc/%1/stat").arg(pid));
    return !stat.isEmpty() && stat.mid(stat.lastIndexOf(')') + 2, 1) != "Z";
}

void killByPid(const QSet<qint64> &pids)
{
    for (const qint64 pid : pids) {
        if (pid > 1 && runs(pid))
            ::kill(pid_t(pid), SIGKILL);
    }
}

// Checks after every test that no pm2 daemon of any of this program's temporary roots is still
// running, so a test that lets one outlive it fails instead of leaving it behind.
class DaemonGuard : public ::testing::EmptyTestEventListener
{
    void OnTestEnd(const ::testing::TestInfo &) override
    {
        for (const QString &root : std::as_const(rootsMade())) {
            const QList<qint64> daemons = pm2DaemonsUnder(root);
            if (daemons.isEmpty())
                continue;
            ADD_FAILURE() << "a pm2 daemon of " << root.toStdString() << " outlived its test";
            for (const qint64 daemon : daemons)
                killByPid(treeOf(daemon));
        }
    }
};

[[maybe_unused]] const bool guardInstalled = [] {
    ::testing::UnitTest::GetInstance()->listeners().Append(new DaemonGuard);
    return true;
}();

} // namespace

QList<qint64> pm2DaemonsUnder(const QString &root)
{
    QList<qint64> daemons;
    for (const qint64 pid : numericEntries(QStringLiteral("/proc"))) {
        const QString home = pm2HomeOf(pid);
        if (!home.isEmpty() && isUnder(home, root) && runs(pid))
            daemons.append(pid);
    }
    return daemons;
}

void endPm2DaemonsUnder(const QString &root)
{
    for (const qint64 daemon : pm2DaemonsUnder(root)) {
        const QSet<qint64> tree = treeOf(daemon);
        const QString home = pm2HomeOf(daemon);
        // Without its socket `pm2 kill` would start a new daemon instead of ending this one.
        if (QFileInfo::exists(home + QStringLiteral("/rpc.sock"))) {
            const QByteArray previous = qgetenv("PM2_HOME");
            qputenv("PM2_HOME", QFile::encodeName(home));
            const QString pm2 = QStringLiteral(NIMBREL_PM2);
            Shell::run(pm2, {QStringLiteral("kill")}, pm2.left(pm2.lastIndexOf(u'/')), 30);
            qputenv("PM2_HOME", previous);
        }
        killByPid(tree);
    }
}

// Short paths: pm2 puts unix sockets under PM2_HOME, and their paths are limited to 107 bytes.
TestEnvironment::TestEnvironment() : dir_(QStringLiteral("/tmp/nb-XXXXXX"))
{
    if (!dir_.isValid())
        throw std::runtime_error("cannot create a temporary directory");
    rootsMade().append(root());
    QDir().mkpath(home());
    QDir().mkpath(config());
    set("HOME", home());
    set("XDG_CONFIG_HOME", config());
    set("PM2_HOME", pm2Home());
    set("TZ", QStringLiteral("UTC"));
    set("LANG", QStringLiteral("C.UTF-8"));
    // pm2 is looked for only under the test's home, and no login shell is asked: a pm2 the
    // machine has installed must not change what a test sees.
    Pm2Locator::shared().usePlaces([home = home()] { return pm2PlacesUnder(home); });
}

Pm2Locator::Places pm2PlacesUnder(const QString &home)
{
    QStringList candidates = Shell::pm2Candidates(home, std::nullopt);
    candidates.removeIf([&](const QString &path) { return !isUnder(path, home); });
    return {candidates, {}};
}

TestEnvironment::~TestEnvironment()
{
    endPm2DaemonsUnder(root());
    Pm2Locator::shared().usePlaces(Pm2Locator::userPlaces);
    for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) {
        if (it->second)
            ::setenv(it->first.c_str(), it->second->c_str(), 1);
        else
            ::unsetenv(it->first.c_str());
    }
}

void TestEnvironment::set(const char *name, const std::optional<QString> &value)
{
    const char *previous = std::getenv(name);
    saved_.emplace_back(name, previous ? std::optional<std::string>(previous) : std::nullopt);
    if (value)
        ::setenv(name, value->toUtf8().constData(), 1);
    else
        ::unsetenv(name);
}

void writeFile(const QString &path, const QByteArray &contents, bool executable)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
        file.write(contents) != contents.size())
        throw std::runtime_error("cannot write " + path.toStdString());
    if (executable)
        file.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner |
                            QFile::ReadGroup | QFile::ExeGroup | QFile::ReadOther |
                            QFile::ExeOther);
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.readAll();
}

int connectToLoopback(qint64 port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(uint16_t(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

} // namespace nimbrel::test
