// The list from pm2's daemon socket against a daemon that misbehaves on purpose: every answer but
// a well-formed list under our id must come back as nothing, within the limit.
#include "app/pm2/pm2_socket.h"
#include "core/pm2_rpc.h"
#include "support/test_environment.h"

#include <QElapsedTimer>
#include <QFile>

#include <gtest/gtest.h>

#include <functional>
#include <future>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

using namespace nimbrel;
using namespace std::chrono_literals;

using Script = std::function<QList<QByteArray>(const QByteArray &id)>;

static int listening(const QString &path, int backlog = 1)
{
    QFile::remove(path);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{.sun_family = AF_UNIX, .sun_path = {}};
    qstrncpy(address.sun_path, path.toUtf8().constData(), sizeof address.sun_path);
    ::bind(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address);
    ::listen(fd, backlog);
    return fd;
}

// A daemon for one connection: reads the request, writes the chunks `script` makes of its id (one
// write each, a little apart so that they arrive as separate reads), then keeps silent until the
// client hangs up.
static void serve(int listener, const Script &script)
{
    pollfd entry{.fd = listener, .events = POLLIN, .revents = 0};
    if (::poll(&entry, 1, 5000) != 1)
        return;
    const int peer = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    QByteArray buffer;
    char chunk[4096];
    PM2Rpc::Decoded decoded;
    for (ssize_t got = 0; decoded.kind == PM2Rpc::Decoded::Kind::incomplete &&
                          (got = ::read(peer, chunk, sizeof chunk)) > 0;)
        decoded = PM2Rpc::decode(buffer.append(chunk, got));
    for (const QByteArray &part : script(decoded.frame.value(1).mid(2))) {
        ::send(peer, part.constData(), size_t(part.size()), MSG_NOSIGNAL);
        std::this_thread::sleep_for(20ms);
    }
    entry.fd = peer;
    while (::poll(&entry, 1, 5000) == 1 && ::read(peer, chunk, sizeof chunk) > 0) {
    }
    ::close(peer);
}

static QByteArray reply(const QByteArray &json, const QByteArray &id)
{
    return PM2Rpc::encode({"j:" + json, "s:" + id});
}

const QByteArray twoApps = R"({"args":[[{"name":"web","pm_id":0,"pid":41,
    "pm2_env":{"status":"online"}},{"name":"api","pm_id":1}]]})";
const QByteArray emptyList = R"({"args":[[]]})";

// The number of apps, or -1 for a socket of no use, -2 for a daemon that did not answer.
constexpr qsizetype unusable = -1, silent = -2;
static qsizetype outcome(const PM2Socket::Answer &answer)
{
    return answer.kind == PM2Socket::Answer::Kind::apps ? answer.apps.size() : -int(answer.kind);
}

TEST(PM2Socket, onlyAWholeListUnderOurIdCounts)
{
    const QByteArray app = R"({"name":"a","pm_id":0,"pm2_env":{"status":"stopped"}})";
    // How the daemon writes its reply frame.
    using Cut = QList<QByteArray> (*)(QByteArray frame);
    const Cut whole = [](QByteArray frame) { return QList{frame}; };
    // What the case is, the reply's JSON, how the daemon cuts the frame, and the outcome.
    using Case = std::tuple<const char *, QByteArray, Cut, qsizetype>;
    const Case cases[] = {
        {"split reads, one inside a length", twoApps,
         [](QByteArray b) {
             return QList{b.left(3), b.mid(3, 40), b.mid(43)};
         },
         2},
        {"another id's frame and ours in one read", twoApps,
         [](QByteArray b) { return QList{reply(emptyList, "9:9") + b}; }, 2},
        {"a huge reply", "{\"args\":[[" + (app + ',').repeated(29'999) + app + "]]}", whole,
         30'000},
        {"an empty list", emptyList, whole, 0},
        {"an error reply", R"({"error":"method does not exist"})", whole, unusable},
        {"not a list", R"({"args":[{"name":"web"}]})", whole, unusable},
        {"a wrong id only", "", [](QByteArray) { return QList{reply(twoApps, "1:0")}; }, silent},
        {"a truncated frame", twoApps, [](QByteArray b) { return QList{b.chopped(5)}; }, silent},
        {"another protocol version", twoApps,
         [](QByteArray b) { return QList{b.replace(0, 1, "\x22")}; }, unusable},
        {"a length past any reason", "",
         [](QByteArray) { return QList{QByteArray("\x12\x7f\xff\xff\xff", 5)}; }, unusable},
        {"silence", "", [](QByteArray) { return QList<QByteArray>{}; }, silent},
    };
    test::TestEnvironment env;
    env.set("PM2_HOME", std::nullopt);
    EXPECT_EQ(PM2Socket::path(), env.home() + "/.pm2/rpc.sock");
    const QString path = env.root() + "/rpc.sock";
    QElapsedTimer clock;
    for (const auto &[label, json, cut, count] : cases) {
        SCOPED_TRACE(label);
        const int listener = listening(path);
        std::thread daemon(serve, listener,
                           [&](const QByteArray &id) { return cut(reply(json, id)); });
        clock.start();
        const PM2Socket::Answer answer = PM2Socket::list(path, 1.0);
        EXPECT_TRUE(count >= 0 ||
                    clock.elapsed() < 2500); // the limit holds; parsing may take longer
        EXPECT_EQ(outcome(answer), count);
        EXPECT_TRUE(count != 2 || answer.apps[0].pid == 41);
        daemon.join();
        ::close(listener);
    }
    // No daemon at all, or the socket of one that crashed: refused at once, not after the limit.
    ::close(listening(path));
    for (const QString &dead : {path, env.root() + "/missing.sock"}) {
        clock.start();
        EXPECT_EQ(outcome(PM2Socket::list(dead)), unusable) << dead.toStdString();
        EXPECT_LT(clock.elapsed(), 100) << dead.toStdString();
    }
    // A daemon whose queue is full (connect says EAGAIN) is knocked at until it takes us.
    const int listener = listening(path, 0);
    auto first = std::async(std::launch::async, [&] { return PM2Socket::list(path); });
    std::this_thread::sleep_for(100ms); // the first caller fills the queue
    std::thread daemon([&] {
        std::this_thread::sleep_for(300ms);
        ::close(::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC));
        serve(listener, [](const QByteArray &id) { return QList{reply(twoApps, id)}; });
    });
    clock.start();
    EXPECT_EQ(outcome(PM2Socket::list(path)), 2);
    EXPECT_GE(clock.elapsed(), 200);
    daemon.join();
    ::close(listener);
}
