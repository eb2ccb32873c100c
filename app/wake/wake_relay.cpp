#include "app/wake/wake_relay.h"

#include <algorithm>
#include <cerrno>
#include <memory>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

namespace nimbrel::wake {

namespace {

using Clock = std::chrono::steady_clock;
constexpr size_t bufferSize = 64 * 1024;

// Bytes on their way from one side to the other.
struct Channel
{
    std::unique_ptr<char[]> data{};
    size_t start = 0;
    size_t end = 0;
    bool ended = false;  // the sending side closed its half
    bool passed = false; // and the receiving side was told (its write half shut)

    bool empty() const { return start == end; }
};

struct Pair
{
    enum class State { waiting, dialling, relaying, closed };
    int client = -1;
    int app = -1;
    ListenAddress on{};
    State state = State::waiting;
    Channel up{};   // client -> app
    Channel down{}; // app -> client

    void close()
    {
        for (int *fd : {&client, &app}) {
            if (*fd >= 0)
                ::close(*fd);
            *fd = -1;
        }
        up = {};
        down = {};
        state = State::closed;
    }
};

bool wouldBlock()
{
    return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
}

// Moves what `from` sends to `to`, as far as both allow now. False on an error of either side.
bool pump(int from, int to, Channel &channel)
{
    for (size_t moved = 0; moved < 16 * bufferSize;) {
        if (channel.empty() && !channel.ended) {
            if (!channel.data)
                channel.data = std::make_unique_for_overwrite<char[]>(bufferSize);
            const ssize_t got = ::recv(from, channel.data.get(), bufferSize, MSG_DONTWAIT);
            if (got == 0)
                channel.ended = true;
            else if (got < 0 && !wouldBlock())
                return false;
            channel.start = 0;
            channel.end = got > 0 ? size_t(got) : 0;
        }
        if (channel.empty())
            break;
        const ssize_t sent = ::send(to, channel.data.get() + channel.start,
                                    channel.end - channel.start, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (sent < 0)
            return wouldBlock();
        channel.start += size_t(sent);
        moved += size_t(sent);
        if (!channel.empty())
            break; // the receiver is full: poll says when it drains
    }
    if (channel.ended && channel.empty() && !channel.passed) {
        ::shutdown(to, SHUT_WR);
        channel.passed = true;
    }
    return true;
}

// "GET /path HTTP/1.1": a method in capitals, a space, and HTTP/ on the first line.
bool looksLikeHttpRequest(QByteArrayView sent)
{
    const qsizetype space = sent.indexOf(' ');
    if (space < 3)
        return false;
    for (const char c : sent.first(space)) {
        if (c < 'A' || c > 'Z')
            return false;
    }
    qsizetype lineEnd = sent.indexOf('\n');
    return sent.first(lineEnd < 0 ? sent.size() : lineEnd).contains(" HTTP/");
}

// Closes a client whose app never listened, answering 503 where it sent an HTTP request.
void refuse(Pair &pair)
{
    QByteArray sent;
    char buffer[16 * 1024];
    for (ssize_t got; (got = ::recv(pair.client, buffer, sizeof buffer, MSG_DONTWAIT)) > 0;) {
        if (sent.size() < qsizetype(sizeof buffer))
            sent.append(buffer, got);
    }
    if (looksLikeHttpRequest(sent)) {
        const QByteArray page = WakeRelay::unavailablePage();
        [[maybe_unused]] const ssize_t written =
            ::send(pair.client, page.constData(), size_t(page.size()), MSG_DONTWAIT | MSG_NOSIGNAL);
        ::shutdown(pair.client, SHUT_WR);
    }
    pair.close();
}

void dial(Pair &pair, const ListenAddress &target)
{
    sockaddr_storage address;
    const socklen_t length = toSocketAddress(target, address);
    pair.app = ::socket(target.v6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC,
                        IPPROTO_TCP);
    if (pair.app < 0) {
        refuse(pair);
        return;
    }
    const int result = ::connect(pair.app, reinterpret_cast<const sockaddr *>(&address), length);
    if (result != 0 && errno != EINPROGRESS) {
        refuse(pair);
        return;
    }
    pair.state = result == 0 ? Pair::State::relaying : Pair::State::dialling;
}

short wanted(const Pair &pair, bool client)
{
    if (pair.state == Pair::State::dialling)
        return client ? 0 : POLLOUT;
    const Channel &in = client ? pair.up : pair.down;
    const Channel &out = client ? pair.down : pair.up;
    return short((in.empty() && !in.ended ? POLLIN : 0) | (out.empty() ? 0 : POLLOUT));
}

void serve(Pair &pair, short clientEvents, short appEvents)
{
    if (pair.state == Pair::State::dialling) {
        if (!appEvents)
            return;
        int error = 0;
        socklen_t length = sizeof error;
        ::getsockopt(pair.app, SOL_SOCKET, SO_ERROR, &error, &length);
        if (error != 0) {
            refuse(pair);
            return;
        }
        pair.state = Pair::State::relaying;
    }
    if (!clientEvents && !appEvents)
        return;
    if (!pump(pair.client, pair.app, pair.up) || !pump(pair.app, pair.client, pair.down) ||
        (pair.up.passed && pair.down.passed))
        pair.close();
}

} // namespace

WakeRelay::WakeRelay(std::vector<HeldConnection> connections, Hooks hooks,
                     std::chrono::milliseconds limit)
    : hooks_(std::move(hooks)), stop_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK))
{
    thread_ = std::thread([this, connections = std::move(connections), limit]() mutable {
        run(std::move(connections), limit);
    });
}

WakeRelay::~WakeRelay()
{
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = ::write(stop_, &one, sizeof one);
    thread_.join();
    ::close(stop_);
}

QByteArray WakeRelay::unavailablePage()
{
    const QByteArray body =
        QStringLiteral(
            "<!doctype html><meta charset=\"utf-8\"><title>503</title>"
            "<p>開発サーバーを起動できませんでした。Nimbrel の通知をご覧ください。</p>\n")
            .toUtf8();
    return "HTTP/1.1 503 Service Unavailable\r\nContent-Type: text/html; charset=utf-8\r\n"
           "Content-Length: " +
           QByteArray::number(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
}

void WakeRelay::run(std::vector<HeldConnection> connections, std::chrono::milliseconds limit)
{
    std::vector<Pair> pairs;
    pairs.reserve(connections.size());
    for (const HeldConnection &held : connections)
        pairs.push_back({.client = held.fd, .on = held.on});
    const auto isWaiting = [](const Pair &pair) { return pair.state == Pair::State::waiting; };

    bool reported = false;
    const auto report = [&](bool listening) {
        if (!std::exchange(reported, true))
            hooks_.woke(listening);
    };
    if (!hooks_.start()) {
        std::ranges::for_each(pairs, refuse);
        report(false);
    }

    const Clock::time_point until = Clock::now() + limit;
    Clock::time_point nextLook = Clock::now();
    std::vector<pollfd> polled;
    for (bool stopping = false; !stopping;) {
        std::erase_if(pairs, [](const Pair &pair) { return pair.state == Pair::State::closed; });
        if (pairs.empty())
            break;
        const bool waiting = std::ranges::any_of(pairs, isWaiting);
        if (waiting && Clock::now() >= nextLook) {
            const QList<ListenAddress> listens = hooks_.appListens();
            nextLook = Clock::now() + lookInterval;
            for (Pair &pair : pairs) {
                if (!isWaiting(pair))
                    continue;
                if (const auto target = relayTarget(pair.on, listens)) {
                    report(true);
                    dial(pair, *target);
                } else if (Clock::now() >= until) {
                    refuse(pair);
                }
            }
            if (Clock::now() >= until)
                report(false);
            continue; // closed pairs go, the rest are polled
        }

        polled.assign(1, {stop_, POLLIN, 0});
        for (const Pair &pair : pairs) {
            const bool active = !isWaiting(pair);
            polled.push_back(
                {active ? pair.client : -1, active ? wanted(pair, true) : short(0), 0});
            polled.push_back({active ? pair.app : -1, active ? wanted(pair, false) : short(0), 0});
        }
        const int timeout =
            waiting
                ? int(std::chrono::ceil<std::chrono::milliseconds>(nextLook - Clock::now()).count())
                : -1;
        if (::poll(polled.data(), polled.size(), std::max(timeout, 0)) < 0 && errno != EINTR)
            break;
        stopping = polled[0].revents != 0;
        for (size_t i = 0; i < pairs.size() && !stopping; ++i)
            serve(pairs[i], polled[1 + 2 * i].revents, polled[2 + 2 * i].revents);
    }
    for (Pair &pair : pairs)
        pair.close();
    hooks_.ended();
}

} // namespace nimbrel::wake
