// Waking an idle-stopped app: real pm2, real node servers on IPv4, IPv6 and both, and real
// clients that reach the app through the held sockets.
#include "app/bus/pm2_bus.h"
#include "app/monitor.h"
#include "app/wake/wake_keeper.h"
#include "support/test_environment.h"

#include <QCryptographicHash>
#include <QDir>
#include <QSignalSpy>
#include <QTest>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <future>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace nimbrel;
using wake::WakeKeeper;

namespace {

// A connection made now, before the event loop runs: it waits in the held socket's queue.
int connectTo(bool v6, int64_t port)
{
    wake::ListenAddress address{.v6 = v6, .port = port};
    address.bytes = v6 ? std::array<uint8_t, 16>{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}
                       : std::array<uint8_t, 16>{127, 0, 0, 1};
    sockaddr_storage socketAddress;
    const socklen_t length = wake::toSocketAddress(address, socketAddress);
    const int fd = ::socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const timeval limit{30, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    if (::connect(fd, reinterpret_cast<const sockaddr *>(&socketAddress), length) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Sends `request` on a thread (a large body waits for the relay), then reads to the end.
std::future<QByteArray> exchange(int fd, QByteArray request, bool halfClose = false)
{
    return std::async(std::launch::async, [fd, request, halfClose] {
        for (qsizetype sent = 0; sent < request.size();) {
            const ssize_t n = ::send(fd, request.constData() + sent, request.size() - sent, 0);
            if (n <= 0)
                break;
            sent += n;
        }
        if (halfClose)
            ::shutdown(fd, SHUT_WR);
        QByteArray answer;
        char buffer[4096];
        for (ssize_t n; (n = ::recv(fd, buffer, sizeof buffer, 0)) > 0;)
            answer.append(buffer, n);
        ::close(fd);
        return answer;
    });
}

const QByteArray get = "GET / HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n";

// Runs the event loop until `result` is there.
template <typename T> bool arrives(std::future<T> &result, int ms)
{
    return QTest::qWaitFor(
        [&] { return result.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }, ms);
}

int64_t freePort()
{
    const int fd = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    socklen_t length = sizeof address;
    ::bind(fd, reinterpret_cast<sockaddr *>(&address), length);
    ::getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length);
    ::close(fd);
    return ntohs(address.sin6_port);
}

bool portFree(int64_t port)
{
    const QList<wake::ListenAddress> busy = wake::listeningNow();
    return std::none_of(busy.begin(), busy.end(), [&](const auto &a) { return a.port == port; });
}

// The tray's pair, fed by real pm2; `name` last active two days ago, so the first refresh
// stops it as idle.
struct Tray
{
    Store &store;
    Monitor monitor{store};
    WakeKeeper keeper{store};
    Tray(Store &store) : store(store) { keeper.attach(monitor); }
    bool holds(const QString &name, int64_t port)
    {
        monitor.refresh();
        return QTest::qWaitFor([&] { return keeper.holds().contains(name) && !portFree(port); },
                               20'000);
    }
};

void startIdleApp(test::TestEnvironment &env, Store &store, const QString &name, int64_t port,
                  const QString &host)
{
    env.set("PORT", QString::number(port));
    env.set("HOST", host);
    ASSERT_EQ(test::pm2({"start", NIMBREL_WAKE_SERVER, "--name", name}).status, 0);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !portFree(port); }, 10'000));
    Store::LastActive times = store.lastActive();
    times.insert(name, now() - Seconds(172'800));
    store.setLastActive(times);
}

} // namespace

TEST(Wake, anIdleStoppedAppIsHeldAndEveryClientGetsItsOwnAnswer)
{
    // The app's own address and the client's family; node's listen(port) is dual-stack.
    const std::tuple<QString, bool> cases[] = {{"127.0.0.1", false}, {"::1", true}, {"", false}};
    for (const auto &[host, v6] : cases) {
        SCOPED_TRACE(host.toStdString());
        test::TestEnvironment env;
        Store store(env.settingsFile());
        store.setValue(StoreKey::pm2Path, test::currentPM2);
        const int64_t port = freePort();
        startIdleApp(env, store, "site", port, host);
        auto tray = std::make_unique<Tray>(store);
        ASSERT_TRUE(tray->holds("site", port));
        EXPECT_EQ(test::statusOf("site"), PM2App::Status::stopped);
        if (host.isEmpty()) { // Nimbrel quits and starts again: the hold is taken up again
            tray.reset();
            EXPECT_TRUE(portFree(port));
            tray = std::make_unique<Tray>(store);
            ASSERT_TRUE(tray->holds("site", port));
        }

        const QByteArray body(1 << 20, 'b');
        const QByteArray post = "POST / HTTP/1.1\r\nHost: x\r\nContent-Length: 1048576\r\n"
                                "Connection: close\r\n\r\n" +
                                body;
        const QByteArray upgrade =
            "GET / HTTP/1.1\r\nHost: x\r\nConnection: Upgrade\r\nUpgrade: echo\r\n\r\nping";
        std::vector<std::future<QByteArray>> answers;
        for (int i = 0; i < 10; ++i)
            answers.push_back(exchange(connectTo(v6, port), get));
        answers.push_back(exchange(connectTo(v6, port), post));
        answers.push_back(exchange(connectTo(v6, port), upgrade, true));
        ASSERT_TRUE(
            std::ranges::all_of(answers, [](auto &answer) { return arrives(answer, 30'000); }));
        for (int i = 0; i < 10; ++i)
            EXPECT_TRUE(answers[i].get().endsWith("\r\n\r\napp:site")) << i;
        EXPECT_TRUE(answers[10].get().endsWith(
            "1048576 " + QCryptographicHash::hash(body, QCryptographicHash::Sha1).toHex()));
        EXPECT_TRUE(answers[11].get().endsWith("\r\n\r\nping"));
        // Online on its own port, and no longer held.
        EXPECT_EQ(test::statusOf("site"), PM2App::Status::online);
        EXPECT_TRUE(WakeKeeper::appListening(PM2Client(test::currentPM2), "site").addresses.size() >
                    0);
        EXPECT_TRUE(tray->keeper.holds().isEmpty());
        EXPECT_FALSE(store.dictionary(StoreKey::heldApps));
    }
}

TEST(Wake, anAppThatCannotStartAnswers503AndAHandStopHoldsNothing)
{
    test::TestEnvironment env;
    Store store(env.settingsFile());
    store.setValue(StoreKey::pm2Path, test::currentPM2);
    const int64_t port = freePort();
    startIdleApp(env, store, "site", port, "127.0.0.1");
    Tray tray(store);
    ASSERT_TRUE(tray.holds("site", port));
    QSignalSpy failed(&tray.keeper, &WakeKeeper::wakeFailed);
    ASSERT_EQ(test::pm2({"delete", "site"}).status, 0); // behind the tray's back: nothing to start
    std::future<QByteArray> answer = exchange(connectTo(false, port), get);
    ASSERT_TRUE(QTest::qWaitFor([&] { return failed.size() == 1; }, 10'000));
    EXPECT_TRUE(answer.get().startsWith("HTTP/1.1 503 "));
    EXPECT_TRUE(tray.keeper.holds().isEmpty());
    EXPECT_TRUE(portFree(port));

    // Started and stopped by hand: the port stays free.
    ASSERT_EQ(test::pm2({"start", NIMBREL_WAKE_SERVER, "--name", "site"}).status, 0);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !portFree(port); }, 10'000));
    tray.monitor.setRunning("site", false);
    ASSERT_TRUE(QTest::qWaitFor([&] { return portFree(port); }, 10'000));
    QTest::qWait(1'000);
    EXPECT_TRUE(portFree(port));
    EXPECT_TRUE(tray.keeper.holds().isEmpty());

    // With the switch off, an idle stop holds nothing either.
    store.setValue(StoreKey::wakeOnRequest, false);
    ASSERT_EQ(test::pm2({"start", "site"}).status, 0);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !portFree(port); }, 10'000));
    Store::LastActive times = store.lastActive();
    times.insert("site", Instant{});
    store.setLastActive(times);
    QSignalSpy stopped(&tray.monitor, &Monitor::stoppedAsIdle);
    tray.monitor.refresh();
    ASSERT_TRUE(QTest::qWaitFor([&] { return stopped.size() == 1; }, 20'000));
    QTest::qWait(500);
    EXPECT_TRUE(portFree(port));
    EXPECT_TRUE(tray.keeper.holds().isEmpty());
}

TEST(Wake, aTerminalsStartFindsThePortsFreeAndBadClientsWakeTheAppOnce)
{
    test::TestEnvironment env;
    Store store(env.settingsFile());
    store.setValue(StoreKey::pm2Path, test::currentPM2);
    const int64_t port = freePort();
    startIdleApp(env, store, "site", port, "");
    Tray tray(store);
    PM2Bus bus(PM2Bus::defaultPath()); // wired as the tray wires it
    QObject::connect(&bus, &PM2Bus::processEvent, &tray.keeper, [&](const ProcessEvent &event) {
        tray.keeper.processEvent(event.event, event.name);
    });
    bus.start();
    ASSERT_TRUE(QTest::qWaitFor([&] { return bus.isConnected(); }, 5'000));
    ASSERT_TRUE(tray.holds("site", port));

    // The user's terminal: another process, while the tray's loop runs.
    auto started = std::async(std::launch::async, [] { return test::pm2({"start", "site"}); });
    ASSERT_TRUE(arrives(started, 20'000));
    EXPECT_EQ(started.get().status, 0);
    EXPECT_TRUE(tray.keeper.holds().isEmpty());
    // The hold is gone: the port is the app's.
    ASSERT_TRUE(QTest::qWaitFor([&] { return !portFree(port); }, 10'000));
    EXPECT_FALSE(test::readFile(env.pm2Home() + "/logs/site-error.log").contains("EADDRINUSE"));
    EXPECT_EQ(test::pm2List().value(0).restarts, 0);

    // Idle again, then a client that sends nothing, one that sends garbage and a thousand at
    // once: one start, every client relayed or closed, and no descriptor left behind.
    store.setLastActive({{"site", now() - Seconds(172'800)}});
    ASSERT_TRUE(tray.holds("site", port));
    const auto descriptors = [] { return QDir("/proc/self/fd").count(); };
    // Less the held listener; a refresh still under way may hold one more for a moment.
    const qsizetype before = descriptors() - 1;
    std::vector<int> clients{connectTo(false, port), connectTo(false, port)};
    ::send(clients[1], "\x16\x03\x01\xff garbage\r\n\r\n", 15, 0);
    for (int i = 0; i < 1000; ++i) {
        clients.push_back(connectTo(false, port));
        ::send(clients.back(), get.constData(), size_t(get.size()), 0);
    }
    ASSERT_TRUE(QTest::qWaitFor([&] { return tray.keeper.holds().isEmpty(); }, 25'000));
    QByteArray all; // the relay's thread serves them now, without the loop
    char buffer[4096];
    for (size_t i = 1; i < clients.size(); ++i) {
        for (ssize_t n; (n = ::recv(clients[i], buffer, sizeof buffer, 0)) > 0;)
            all.append(buffer, n);
    }
    EXPECT_EQ(all.count("\r\n\r\napp:site"), 1000);
    EXPECT_TRUE(all.startsWith("HTTP/1.1 400 ")); // the garbage reached the app
    std::ranges::for_each(clients, ::close);
    EXPECT_EQ(test::pm2List().value(0).restarts, 0);
    EXPECT_TRUE(QTest::qWaitFor([&] { return descriptors() <= before; }, 10'000))
        << descriptors() << " descriptors, " << before << " before";
}
