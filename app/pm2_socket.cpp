#include "app/pm2_socket.h"

#include "core/pm2_rpc.h"

#include <QDir>
#include <QFile>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

namespace nimbrel::PM2Socket {

namespace {

using Clock = std::chrono::steady_clock;

// How one step of the exchange ended.
enum class Step { done, closed, late };

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

    Step open(const QByteArray &path, Clock::time_point deadline)
    {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        if (fd_ < 0 || path.isEmpty() || path.size() >= qsizetype(sizeof address.sun_path))
            return Step::closed;
        std::memcpy(address.sun_path, path.constData(), size_t(path.size()));
        for (auto pause = std::chrono::milliseconds(1);; pause = std::min(pause * 2, maxPause)) {
            if (::connect(fd_, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0)
                return Step::done;
            if (errno == EINTR)
                continue;
            // On a unix socket EAGAIN is a full queue: the daemon lives but has not taken the
            // waiting connections yet. Nothing is in progress, so knock again.
            if (errno != EAGAIN)
                return Step::closed;
            if (Clock::now() + pause >= deadline)
                return Step::late;
            std::this_thread::sleep_for(pause);
        }
    }

    Step send(QByteArrayView bytes, Clock::time_point deadline)
    {
        while (!bytes.isEmpty()) {
            const ssize_t sent = ::send(fd_, bytes.data(), size_t(bytes.size()), MSG_NOSIGNAL);
            if (sent > 0) {
                bytes = bytes.sliced(sent);
                continue;
            }
            if (sent == 0 || (errno != EAGAIN && errno != EINTR))
                return Step::closed;
            if (errno == EAGAIN && !wait(POLLOUT, deadline))
                return Step::late;
        }
        return Step::done;
    }

    // Appends what arrives.
    Step receive(QByteArray &buffer, Clock::time_point deadline)
    {
        char chunk[64 * 1024];
        for (;;) {
            const ssize_t got = ::recv(fd_, chunk, sizeof chunk, 0);
            if (got > 0) {
                buffer.append(chunk, got);
                return Step::done;
            }
            if (got == 0 || (errno != EAGAIN && errno != EINTR))
                return Step::closed;
            if (errno == EAGAIN && !wait(POLLIN, deadline))
                return Step::late;
        }
    }

private:
    static constexpr auto maxPause = std::chrono::milliseconds(50);

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

Answer failed(Step step)
{
    return {step == Step::late ? Answer::Kind::silent : Answer::Kind::unusable};
}

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

Answer list(const QString &socketPath, double limit)
{
    const Clock::time_point deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                                          std::chrono::duration<double>(limit));
    Connection connection;
    const QByteArray id = nextMessageId();
    if (const Step opened = connection.open(QFile::encodeName(socketPath), deadline);
        opened != Step::done)
        return failed(opened);
    if (const Step sent = connection.send(PM2Rpc::listRequest(id), deadline); sent != Step::done)
        return failed(sent);

    QByteArray buffer;
    for (;;) {
        if (const Step got = connection.receive(buffer, deadline); got != Step::done)
            return failed(got);
        for (;;) {
            PM2Rpc::Decoded decoded = PM2Rpc::decode(buffer);
            if (decoded.kind == PM2Rpc::Decoded::Kind::bad)
                return {};
            if (decoded.kind == PM2Rpc::Decoded::Kind::incomplete)
                break;
            buffer.remove(0, decoded.consumed);
            PM2Rpc::Reply reply = PM2Rpc::listReply(decoded.frame, id);
            if (reply.kind == PM2Rpc::Reply::Kind::apps)
                return {Answer::Kind::apps, std::move(reply.apps)};
            if (reply.kind == PM2Rpc::Reply::Kind::failed)
                return {};
        }
    }
}

} // namespace nimbrel::PM2Socket
