#include "support/test_environment.h"

#include "app/shell.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMultiHash>
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

QStringList &rootsMade() // every temporary root of this program, for the guard below
{
    static QStringList roots;
    return roots;
}

bool isUnder(const QString &path, const QString &root)
{
    return path == root || path.startsWith(root + u'/');
}

QList<qint64> allProcesses()
{
    QList<qint64> pids;
    for (const QString &entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs))
        if (const qint64 pid = entry.toLongLong(); pid > 0)
            pids.append(pid);
    return pids;
}

// The fields of /proc/PID/stat after the command name: state, ppid...; [""] once it is gone.
QList<QByteArray> statOf(qint64 pid)
{
    const QByteArray stat = readFile(QStringLiteral("/proc/%1/stat").arg(pid));
    return stat.mid(stat.lastIndexOf(')') + 2).split(' ');
}

bool runs(qint64 pid)
{
    const QByteArray state = statOf(pid).front();
    return !state.isEmpty() && state != "Z";
}

QString pm2HomeOf(qint64 pid)
{
    const QString proc = QStringLiteral("/proc/%1/").arg(pid);
    if (!readFile(proc + "cmdline").startsWith("PM2 v"))
        return {};
    QString home;
    for (const QByteArray &variable : readFile(proc + "environ").split('\0')) {
        if (variable.startsWith("PM2_HOME="))
            return QFile::decodeName(variable.mid(9));
        if (variable.startsWith("HOME="))
            home = QFile::decodeName(variable.mid(5)) + "/.pm2"; // pm2's default
    }
    return home;
}

// The pm2 daemons whose PM2_HOME lies under `root`, with that PM2_HOME.
QHash<qint64, QString> daemonsUnder(const QString &root)
{
    QHash<qint64, QString> daemons;
    for (const qint64 pid : allProcesses())
        if (const QString home = pm2HomeOf(pid);
            !home.isEmpty() && isUnder(home, root) && runs(pid))
            daemons.insert(pid, home);
    return daemons;
}

// `root` and every process below it.
QSet<qint64> treeOf(qint64 root)
{
    QMultiHash<qint64, qint64> children;
    for (const qint64 pid : allProcesses())
        if (const QList<QByteArray> fields = statOf(pid); fields.size() > 1)
            children.insert(fields[1].toLongLong(), pid);
    QSet<qint64> tree{root};
    for (QList<qint64> pending{root}; !pending.isEmpty();)
        for (const qint64 child : children.values(pending.takeLast()))
            if (!tree.contains(child))
                tree.insert(child), pending.append(child);
    return tree;
}

void killAll(const QSet<qint64> &pids)
{
    for (const qint64 pid : pids)
        if (pid > 1 && runs(pid))
            ::kill(pid_t(pid), SIGKILL);
}

// Ends those daemons as pm2 itself does, then whatever survived by pid, apps included.
void endPm2DaemonsUnder(const QString &root)
{
    const QHash<qint64, QString> daemons = daemonsUnder(root);
    for (auto daemon = daemons.begin(); daemon != daemons.end(); ++daemon) {
        const QSet<qint64> tree = treeOf(daemon.key()); // before its apps lose their parent
        // Without its socket `pm2 kill` would start a new daemon instead of ending this one.
        if (QFileInfo::exists(daemon.value() + "/rpc.sock")) {
            const QByteArray previous = qgetenv("PM2_HOME");
            qputenv("PM2_HOME", QFile::encodeName(daemon.value()));
            const QString pm2 = QStringLiteral(NIMBREL_PM2);
            Shell::run(pm2, {QStringLiteral("kill")}, pm2.left(pm2.lastIndexOf(u'/')), 30);
            qputenv("PM2_HOME", previous);
        }
        killAll(tree);
    }
}

// A test whose pm2 daemon outlives it fails instead of leaving the daemon behind.
class DaemonGuard : public ::testing::EmptyTestEventListener
{
    void OnTestEnd(const ::testing::TestInfo &) override
    {
        for (const QString &root : std::as_const(rootsMade())) {
            const QHash<qint64, QString> daemons = daemonsUnder(root);
            if (!daemons.isEmpty())
                ADD_FAILURE() << "a pm2 daemon of " << root.toStdString() << " outlived its test";
            for (const qint64 daemon : daemons.keys())
                killAll(treeOf(daemon));
        }
    }
};

[[maybe_unused]] const bool guardInstalled = [] {
    ::testing::UnitTest::GetInstance()->listeners().Append(new DaemonGuard);
    return true;
}();

} // namespace

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
    // A pm2 the machine has installed, or a login shell's, must not change what a test sees.
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
        file.setPermissions(file.permissions() | QFile::ExeOwner | QFile::ExeGroup |
                            QFile::ExeOther);
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

int connectToLoopback(qint64 port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(uint16_t(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0)
        return fd;
    ::close(fd);
    return -1;
}

} // namespace nimbrel::test
