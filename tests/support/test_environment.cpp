#include "support/test_environment.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <arpa/inet.h>
#include <cstdlib>
#include <netinet/in.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

namespace nimbrel::test {

// Short paths: pm2 puts unix sockets under PM2_HOME, and their paths are limited to 107 bytes.
TestEnvironment::TestEnvironment() : dir_(QStringLiteral("/tmp/nb-XXXXXX"))
{
    if (!dir_.isValid())
        throw std::runtime_error("cannot create a temporary directory");
    QDir().mkpath(home());
    QDir().mkpath(config());
    set("HOME", home());
    set("XDG_CONFIG_HOME", config());
    set("PM2_HOME", pm2Home());
    set("TZ", QStringLiteral("UTC"));
    set("LANG", QStringLiteral("C.UTF-8"));
}

TestEnvironment::~TestEnvironment()
{
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
