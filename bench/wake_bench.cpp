// Waking a held app: the time from a client's first connection to the first byte of the app's
// answer, against the app's own start-to-listen time; and the relay's throughput on loopback.
#include "app/pm2/pm2_client.h"
#include "app/store.h"
#include "app/system/shell.h"
#include "app/wake/wake_keeper.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <future>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using namespace nimbrel;
using Clock = std::chrono::steady_clock;

namespace {

wake::ListenAddress loopback(int64_t port, uint8_t last = 1)
{
    wake::ListenAddress address{.port = port};
    address.bytes = {127, 0, 0, last};
    return address;
}

int dial(const wake::ListenAddress &address)
{
    sockaddr_storage socketAddress;
    const socklen_t length = wake::toSocketAddress(address, socketAddress);
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (::connect(fd, reinterpret_cast<const sockaddr *>(&socketAddress), length) == 0)
        return fd;
    ::close(fd);
    return -1;
}

int listenOn(const wake::ListenAddress &address)
{
    sockaddr_storage socketAddress;
    const socklen_t length = wake::toSocketAddress(address, socketAddress);
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    ::bind(fd, reinterpret_cast<const sockaddr *>(&socketAddress), length);
    ::listen(fd, 16);
    return fd;
}

// Connects, asks for the page and waits for the first byte; false when nothing listens.
bool firstByte(int64_t port)
{
    const int fd = dial(loopback(port));
    if (fd < 0)
        return false;
    const char get[] = "GET / HTTP/1.1\r\nHost: x\r\n\r\n";
    char byte;
    const bool answered =
        ::send(fd, get, sizeof get - 1, MSG_NOSIGNAL) > 0 && ::recv(fd, &byte, 1, 0) == 1;
    ::close(fd);
    return answered;
}

double msSince(Clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

void wakeOverhead(benchmark::State &state)
{
    QTemporaryDir dir(QStringLiteral("/tmp/nb-wake-XXXXXX"));
    qputenv("PM2_HOME", (dir.path() + QStringLiteral("/pm2")).toUtf8());
    const int listener = listenOn(loopback(0));
    sockaddr_in bound{};
    socklen_t length = sizeof bound;
    ::getsockname(listener, reinterpret_cast<sockaddr *>(&bound), &length);
    ::close(listener);
    const int64_t port = ntohs(bound.sin_port);
    qputenv("PORT", QByteArray::number(port));

    Store store(dir.path() + QStringLiteral("/Nimbrel.json"));
    store.setValue(StoreKey::pm2Path, QStringLiteral(NIMBREL_PM2));
    store.writeInBackground(); // as the tray writes its settings
    const PM2Client client(QStringLiteral(NIMBREL_PM2));
    const QString name = QStringLiteral("bench-wake");
    Shell::run(client.executable(),
               {QStringLiteral("start"), QStringLiteral(NIMBREL_TEST_SERVER),
                QStringLiteral("--name"), name},
               std::nullopt, 60);
    wake::WakeKeeper keeper(store);

    double own = 0, woken = 0;
    for (auto _ : state) {
        // The app's own: pm2's daemon starts it (asked directly, so no node start-up of pm2's
        // command line counts), and a client that tries every millisecond gets a byte.
        client.stop(name);
        Clock::time_point start = Clock::now();
        client.startThroughDaemon(name);
        while (!firstByte(port))
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        own += msSince(start);

        // Held: one connection does it all.
        client.stop(name);
        keeper.holdStopped(name, {loopback(port)});
        start = Clock::now();
        // The keeper's loop waits for events as the tray's does: a busy loop here would take a
        // core from the app that is starting.
        QEventLoop loop;
        std::future<bool> answered = std::async(std::launch::async, [port, &loop] {
            const bool got = firstByte(port);
            QMetaObject::invokeMethod(&loop, &QEventLoop::quit, Qt::QueuedConnection);
            return got;
        });
        loop.exec();
        const double ms = msSince(start);
        if (!answered.get())
            state.SkipWithError("the woken app did not answer");
        woken += ms;
        state.SetIterationTime(ms / 1e3);
    }
    Shell::run(client.executable(), {QStringLiteral("kill")}, std::nullopt, 60);
    const auto average = benchmark::Counter::kAvgIterations;
    state.counters["own_start_ms"] = benchmark::Counter(own, average);
    state.counters["wake_ms"] = benchmark::Counter(woken, average);
    state.counters["overhead_ms"] = benchmark::Counter(woken - own, average);
}
BENCHMARK(wakeOverhead)
    ->Name("Wake: first connection to first byte, real pm2 app")
    ->Unit(benchmark::kMillisecond)
    ->UseManualTime()
    ->Iterations(8);

// 100 MB from an app to a held client through the relay, on loopback.
void relayThroughput(benchmark::State &state)
{
    constexpr int64_t total = 100 << 20;
    const int app = listenOn(loopback(0));
    sockaddr_in bound{};
    socklen_t length = sizeof bound;
    ::getsockname(app, reinterpret_cast<sockaddr *>(&bound), &length);
    const int64_t port = ntohs(bound.sin_port);
    // The held side on another loopback address with the same port, as the app's own would be.
    const int held = listenOn(loopback(port, 2));
    for (auto _ : state) {
        std::thread server([app] {
            const int fd = ::accept(app, nullptr, nullptr);
            std::vector<char> chunk(256 * 1024, 'x');
            for (int64_t sent = 0; sent < total;) {
                const ssize_t n = ::send(
                    fd, chunk.data(), std::min<size_t>(chunk.size(), total - sent), MSG_NOSIGNAL);
                if (n <= 0)
                    break;
                sent += n;
            }
            ::close(fd);
        });
        const int client = dial(loopback(port, 2));
        std::vector<wake::HeldConnection> connections{
            {::accept4(held, nullptr, nullptr, SOCK_NONBLOCK), loopback(port, 2)}};
        wake::WakeRelay relay(
            std::move(connections),
            {.start = [] { return true; }, .appListens = [port] { return QList{loopback(port)}; }});
        std::vector<char> buffer(256 * 1024);
        int64_t got = 0;
        for (ssize_t n; (n = ::recv(client, buffer.data(), buffer.size(), 0)) > 0;)
            got += n;
        ::close(client);
        server.join();
        if (got != total)
            state.SkipWithError("the relay lost bytes");
    }
    ::close(held);
    ::close(app);
    state.SetBytesProcessed(state.iterations() * total);
}
BENCHMARK(relayThroughput)
    ->Name("Wake: relay 100 MB on loopback")
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

} // namespace
