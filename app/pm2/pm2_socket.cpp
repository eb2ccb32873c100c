#include "app/pm2/pm2_socket.h"

#include "core/pm2_rpc.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>

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

namespace {

// One call to the daemon and its reply: the frame that ends with our message id.
struct Called
{
    Answer::Kind kind = Answer::Kind::unusable; // apps: answered
    PM2Rpc::Frame reply{};
};

Called call(const QString &socketPath, const QByteArray &method, const QByteArray &arguments,
            Clock::time_point deadline)
{
    Connection connection;
    const QByteArray id = nextMessageId();
    const QByteArray request = method.isEmpty()
                                   ? PM2Rpc::listRequest(id)
                                   : PM2Rpc::encode({R"(j:{"type":"call","method":")" + method +
                                                         R"(","args":[)" + arguments + "]}",
                                                     "s:" + id});
    if (const Step opened = connection.open(QFile::encodeName(socketPath), deadline);
        opened != Step::done)
        return {failed(opened).kind};
    if (const Step sent = connection.send(request, deadline); sent != Step::done)
        return {failed(sent).kind};

    QByteArray buffer;
    for (;;) {
        if (const Step got = connection.receive(buffer, deadline); got != Step::done)
            return {failed(got).kind};
        for (;;) {
            PM2Rpc::Decoded decoded = PM2Rpc::decode(buffer);
            if (decoded.kind == PM2Rpc::Decoded::Kind::bad)
                return {};
            if (decoded.kind == PM2Rpc::Decoded::Kind::incomplete)
                break;
            buffer.remove(0, decoded.consumed);
            if (decoded.frame.size() >= 2 && decoded.frame.back() == "s:" + id)
                return {Answer::Kind::apps, std::move(decoded.frame)};
        }
    }
}

Clock::time_point deadlineIn(double limit)
{
    return Clock::now() +
           std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(limit));
}

} // namespace

Answer list(const QString &socketPath, double limit)
{
    Called called = call(socketPath, {}, {}, deadlineIn(limit));
    if (called.kind != Answer::Kind::apps)
        return {called.kind};
    // The reply was already matched to our id; listReply looks for the id once more.
    PM2Rpc::Reply reply = PM2Rpc::listReply(called.reply, called.reply.back().sliced(2));
    if (reply.kind == PM2Rpc::Reply::Kind::apps)
        return {Answer::Kind::apps, std::move(reply.apps)};
    return {};
}

Started start(const QString &socketPath, const QString &name, double limit)
{
    const Answer listed = list(socketPath);
    const Clock::time_point deadline = deadlineIn(limit);
    if (listed.kind != Answer::Kind::apps)
        return listed.kind == Answer::Kind::silent ? Started::silent : Started::unusable;
    Started started = Started::failed;
    for (const PM2App &app : listed.apps) {
        if (app.name != name || app.pmId < 0)
            continue;
        const QByteArray id = QByteArray::number(qint64(app.pmId));
        const Called restarted =
            call(socketPath, "restartProcessId", R"({"id":)" + id + "}", deadline);
        if (restarted.kind == Answer::Kind::silent)
            return Started::silent;
        // The daemon replies {"args": [process]}, or {"error": why}.
        const QByteArray &body = restarted.reply.value(0);
        if (restarted.kind != Answer::Kind::apps || !body.startsWith("j:") ||
            QJsonDocument::fromJson(body.sliced(2)).object().contains(u"error"))
            return Started::failed;
        // What pm2's command line tells the bus after the call; its listeners expect it.
        call(socketPath, "notifyByProcessId",
             R"({"id":)" + id + R"(,"action_name":"restart","manually":true})", deadline);
        started = Started::started;
    }
    return started;
}

} // namespace nimbrel::PM2Socket
