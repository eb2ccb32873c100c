#include "support/test_environment.h"

#include "core/pm2_list_parser.h"
#include "core/proc_files.h"

#include <QDir>
#include <QFile>
#include <QMultiHash>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <csignal>
#include <netinet/in.h>
#include <stdexcept>
#include <unistd.h>

namespace nimbrel::test {

namespace {

QStringList roots; // every temporary root of this program, for the guard below

bool isUnder(const QString &path, const QString &root)
{
    return path == root || path.startsWith(root + u'/');
}

// Every process with its parent.
QMultiHash<qint64, qint64> childrenOfAll()
{
    QMultiHash<qint64, qint64> children;
    for (const QString &entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs))
        if (const auto stat = ProcFiles::parseStat(readFile("/proc/" + entry + "/stat")))
            children.insert(stat->ppid, stat->pid);
    return children;
}

// Ends each pm2 daemon (known by its command line) whose PM2_HOME lies under `root` as pm2
// itself does, then it and every process below it (its apps) by pid. Whether there was one.
bool endDaemonsUnder(const QString &root)
{
    const QMultiHash<qint64, qint64> children = childrenOfAll(); // before the apps lose theirs
    bool found = false;
    for (const qint64 daemon : children) {
        const QString proc = QStringLiteral("/proc/%1/").arg(daemon);
        if (!readFile(proc + "cmdline").startsWith("PM2 v"))
            continue;
        QString home;
        for (const QByteArray &variable : readFile(proc + "environ").split('\0')) {
            if (variable.startsWith("HOME=") && home.isEmpty())
                home = QFile::decodeName(variable.mid(5)) + "/.pm2"; // pm2's default
            if (variable.startsWith("PM2_HOME="))
                home = QFile::decodeName(variable.mid(9));
        }
        if (!isUnder(home, root))
            continue;
        found = true;
        QList<qint64> tree{daemon}; // parents form no cycles: each pid is met once
        for (qsizetype i = 0; i < tree.size(); ++i)
            tree.append(children.values(tree[i]));
        // Without its socket `pm2 kill` would start a new daemon instead of ending this one.
        if (QFile::exists(home + "/rpc.sock")) {
            const QByteArray previous = qgetenv("PM2_HOME");
            qputenv("PM2_HOME", QFile::encodeName(home));
            pm2({QStringLiteral("kill")});
            qputenv("PM2_HOME", previous);
        }
        for (const qint64 pid : tree)
            ::kill(pid_t(pid), SIGKILL);
    }
    return found;
}

PM2Locator::Places pm2PlacesUnder(const QString &home)
{
    QStringList candidates = Shell::pm2Candidates(home, std::nullopt);
    candidates.removeIf([&](const QString &path) { return !isUnder(path, home); });
    return {candidates, {}};
}

// A test whose pm2 daemon outlives it fails instead of leaving the daemon behind.
class DaemonGuard : public ::testing::EmptyTestEventListener
{
    void OnTestEnd(const ::testing::TestInfo &) override
    {
        for (const QString &root : std::as_const(roots))
            if (endDaemonsUnder(root))
                ADD_FAILURE() << "a pm2 daemon of " << root.toStdString() << " outlived its test";
    }
};

} // namespace

// Short paths: pm2 puts unix sockets under PM2_HOME, and their paths are limited to 107 bytes.
TestEnvironment::TestEnvironment() : dir_(QStringLiteral("/tmp/nb-XXXXXX"))
{
    if (!dir_.isValid())
        throw std::runtime_error("cannot create a temporary directory");
    if (roots.isEmpty())
        ::testing::UnitTest::GetInstance()->listeners().Append(new DaemonGuard);
    roots.append(root());
    QDir().mkpath(home());
    QDir().mkpath(config());
    set("HOME", home());
    set("XDG_CONFIG_HOME", config());
    set("PM2_HOME", pm2Home());
    set("TZ", QStringLiteral("UTC"));
    set("LANG", QStringLiteral("C.UTF-8"));
    // A pm2 the machine has installed, or a login shell's, must not change what a test sees.
    PM2Locator::shared().usePlaces([home = home()] { return pm2PlacesUnder(home); });
}

// Every pm2 daemon of the test's PM2_HOME (or one below) ends with it.
TestEnvironment::~TestEnvironment()
{
    endDaemonsUnder(root());
    PM2Locator::shared().usePlaces(PM2Locator::userPlaces);
    for (auto it = saved_.rbegin(); it != saved_.rend(); ++it)
        it->second ? ::setenv(it->first.c_str(), it->second->c_str(), 1)
                   : ::unsetenv(it->first.c_str());
}

void TestEnvironment::set(const char *name, const std::optional<QString> &value)
{
    const char *previous = std::getenv(name);
    saved_.emplace_back(name, previous ? std::optional<std::string>(previous) : std::nullopt);
    value ? ::setenv(name, value->toUtf8().constData(), 1) : ::unsetenv(name);
}

void writeFile(const QString &path, const QByteArray &contents, bool executable)
{
    QDir().mkpath(path.left(path.lastIndexOf(u'/')));
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

Shell::Result pm2(const QStringList &arguments, const QString &version)
{
    return Shell::run(version, arguments, version.left(version.lastIndexOf(u'/')), 60);
}

QList<PM2App> pm2List(const QString &version)
{
    return PM2ListParser::parseOutput(pm2({QStringLiteral("jlist")}, version).output)
        .value_or(QList<PM2App>{});
}

PM2App::Status statusOf(const QString &name)
{
    for (const PM2App &app : pm2List())
        if (app.name == name)
            return app.status;
    return PM2App::Status::unknown;
}

void startApp(const QString &name, const QString &version, int instances)
{
    QStringList arguments{"start", NIMBREL_TEST_SERVER, "--name", name};
    if (instances > 1) // one instance runs in fork mode, and its port is its own
        arguments << "-i" << QString::number(instances);
    const Shell::Result result = pm2(arguments, version);
    ASSERT_EQ(result.status, 0) << result.output.toStdString();
    const auto online = [&](const PM2App &app) {
        return app.name == name && app.status == PM2App::Status::online;
    };
    for (int attempt = 0; attempt < 300; ++attempt, usleep(100'000))
        if (std::ranges::count_if(pm2List(version), online) == instances)
            return;
    FAIL() << name.toStdString() << " never came online";
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
