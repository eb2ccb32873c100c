#include "app/pm2_socket.h"

#include "core/pm2_rpc.h"

#include <QDir>
#include <QFile>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace nimbrel::PM2Socket {

namespace {

using Clock = std::chrono::steady_clock;

class Connection
{
public:
    Connection() : fd_(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0)) {}
    ~Connection()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }
    Connection(const Connection &) = delete;
    Connection &operator=(const Connection &) = delete;

    bool open(const QByteArray &path, Clock::time_point deadline)
    {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        if (fd_ < 0 || path.isEmpty() || path.size() >= qsizetype(sizeof address.sun_path))
            return false;
        std::memcpy(address.sun_path, path.constData(), size_t(path.size()));
        if (::connect(fd_, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0)
            return true;
        // A full backlog: the daemon is alive but slow to accept.
        if (errno != EAGAIN && errno != EINPROGRESS)
            return false;
        if (!wait(POLLOUT, deadline))
            return false;
        int error = 0;
        socklen_t length = sizeof error;
        return ::getsockopt(fd_, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0;
    }

    bool send(QByteArrayView bytes, Clock::time_point deadline)
    {
        while (!bytes.isEmpty()) {
            const ssize_t sent = ::send(fd_, bytes.data(), size_t(bytes.size()), MSG_NOSIGNAL);
            if (sent > 0) {
                bytes = bytes.sliced(sent);
                continue;
            }
            if (sent == 0 || (errno != EAGAIN && errno != EINTR))
                return false;
            if (errno == EAGAIN && !wait(POLLOUT, deadline))
                return false;
        }
        return true;
    }

    // Appends what arrives; false at the end of the stream, on an error or at the deadline.
    bool receive(QByteArray &buffer, Clock::time_point deadline)
    {
        char chunk[64 * 1024];
        for (;;) {
            const ssize_t got = ::recv(fd_, chunk, sizeof chunk, 0);
            if (got > 0) {
                buffer.append(chunk, got);
                return true;
            }
            if (got == 0 || (errno != EAGAIN && errno != EINTR))
                return false;
            if (errno == EAGAIN && !wait(POLLIN, deadline))
                return false;
        }
    }

private:
    bool wait(short events, Clock::time_point deadline)
    {
        for (;;) {
            const auto left =
                std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
            if (left <= 0)
                return false;
            pollfd entry{.fd = fd_, .events = events, .revents = 0};
            const int ready = ::poll(&entry, 1, int(left));
            if (ready > 0)
                return true; // errors and hang-ups show in the next call
            if (ready < 0 && errno != EINTR)
                return false;
        }
    }

    int fd_;
};

// pm2's own clients number their calls "pid:n"; ours do the same.
QByteArray nextMessageId()
{
    static std::atomic<quint64> counter{0};
    return QByteArray::number(qint64(::getpid())) + ':' + QByteArray::number(counter++);
}

} // namespace

QString path()
{
    QString home = qEnvironmentVariable("PM2_HOME");
    if (home.isEmpty())
        home = QDir::homePath() + QStringLiteral("/.pm2");
    return home + QStringLiteral("/rpc.sock");
}

std::optional<QList<PM2App>> list(const QString &socketPath, double limit)
{
    const Clock::time_point deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                                          std::chrono::duration<double>(limit));
    Connection connection;
    const QByteArray id = nextMessageId();
    if (!connection.open(QFile::encodeName(socketPath), deadline) ||
        !connection.send(PM2Rpc::listRequest(id), deadline))
        return std::nullopt;

    QByteArray buffer;
    while (connection.receive(buffer, deadline)) {
        for (;;) {
            PM2Rpc::Decoded decoded = PM2Rpc::decode(buffer);
            if (decoded.kind == PM2Rpc::Decoded::Kind::bad)
                return std::nullopt;
            if (decoded.kind == PM2Rpc::Decoded::Kind::incomplete)
                break;
            buffer.remove(0, decoded.consumed);
            PM2Rpc::Reply reply = PM2Rpc::listReply(decoded.frame, id);
            if (reply.kind == PM2Rpc::Reply::Kind::apps)
                return std::move(reply.apps);
            if (reply.kind == PM2Rpc::Reply::Kind::failed)
                return std::nullopt;
        }
    }
    return std::nullopt;
}

} // namespace nimbrel::PM2Socket
