// The bus client against a daemon of our own on a unix socket: what it writes, cut and joined
// as chosen, and what comes out as signals.
#include "app/bus/pm2_bus.h"
#include "core/pm2_rpc.h"
#include "support/test_environment.h"

#include <QSignalSpy>
#include <QTest>

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

using namespace nimbrel;

namespace {

// A publisher for one subscriber at a time: listens, accepts, writes.
class FakeDaemon
{
public:
    explicit FakeDaemon(QString path) : path_(std::move(path)) { listen(); }
    ~FakeDaemon() { stop(); }
    void listen()
    {
        ::unlink(QFile::encodeName(path_).constData());
        listener_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        sockaddr_un address{.sun_family = AF_UNIX, .sun_path = {}};
        qstrncpy(address.sun_path, QFile::encodeName(path_).constData(), sizeof address.sun_path);
        ::bind(listener_, reinterpret_cast<const sockaddr *>(&address), sizeof address);
        ::listen(listener_, 4);
    }
    // Waits for the subscriber's connection.
    bool accept()
    {
        if (peer_ >= 0)
            ::close(peer_);
        return QTest::qWaitFor([this] {
            peer_ = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            return peer_ >= 0;
        });
    }
    void write(const QByteArray &bytes)
    {
        ::send(peer_, bytes.constData(), size_t(bytes.size()), MSG_NOSIGNAL);
        QTest::qWait(20); // separate writes arrive as separate reads
    }
    void stop()
    {
        for (int *fd : {&peer_, &listener_}) {
            if (*fd >= 0)
                ::close(*fd);
            *fd = -1;
        }
        ::unlink(QFile::encodeName(path_).constData());
    }

private:
    QString path_;
    int listener_ = -1;
    int peer_ = -1;
};

QByteArray message(const QByteArray &topic, const QByteArray &json)
{
    return PM2Rpc::encode({"s:" + topic, "j:" + json});
}

QByteArray event(const char *what, const char *name, int id, const char *status,
                 const char *more = "")
{
    return message("process:event",
                   QStringLiteral(R"({"event":"%1","manually":false,"at":1700000000000,)"
                                  R"("process":{"name":"%2","pm_id":%3,"status":"%4"%5}})")
                       .arg(what, name)
                       .arg(id)
                       .arg(status, more)
                       .toUtf8());
}

QByteArray log(const char *topic, int id, const char *data)
{
    return message(topic, QStringLiteral(R"({"process":{"name":"web","pm_id":%1},"data":"%2"})")
                              .arg(id)
                              .arg(data)
                              .toUtf8());
}

// Everything the bus said, one line each.
struct Heard
{
    QStringList lines;
    explicit Heard(PM2Bus &bus)
    {
        QObject::connect(&bus, &PM2Bus::processEvent, [this](const ProcessEvent &e) {
            lines << QStringLiteral("%1 %2 %3 %4 %5")
                             .arg(e.event, e.name)
                             .arg(e.pmId)
                             .arg(e.status)
                             .arg(epochSeconds(e.at), 0, 'f', 0) +
                         (e.restarts ? "" : " for good");
        });
        QObject::connect(&bus, &PM2Bus::logLine, [this](const LogLine &l) {
            lines << QStringLiteral("%1 %2 %3")
                         .arg(l.isError ? "err" : "out")
                         .arg(l.pmId)
                         .arg(QString::fromUtf8(l.data));
        });
        QObject::connect(&bus, &PM2Bus::daemonKilled, [this] { lines << QStringLiteral("kill"); });
        QObject::connect(&bus, &PM2Bus::connectedChanged,
                         [this](bool up) { lines << (up ? "up" : "down"); });
    }
};

} // namespace

TEST(PM2Bus, framesAsTheyComeTopicsInUseOnly)
{
    const QByteArray online = event("online", "web", 3, "online");
    const QByteArray exit = event("exit", "api", 7, "errored");
    const QString onlineLine = QStringLiteral("online web 3 online 1700000000");
    struct Case
    {
        const char *what;
        QList<QByteArray> writes;
        QStringList heard;
        QList<int64_t> logsWanted{};
    };
    const Case cases[] = {
        {"split frames, one cut inside a length",
         {online.left(3), online.mid(3, 20), online.mid(23)},
         {onlineLine}},
        {"several frames in one read",
         {online + exit + event("restart overlimit", "api", 7, "errored")},
         {onlineLine, "exit api 7 errored 1700000000",
          "restart overlimit api 7 errored 1700000000"}},
        {"unknown topics and bad JSON are skipped",
         {message("process:msg", "{}") + message("process:event", "{nope") +
          PM2Rpc::encode({"s:process:event", "s:text"}) + online},
         {onlineLine}},
        {"the apps' output only while someone wants it",
         {log("log:out", 3, "a"), log("log:err", 4, "b")},
         {}},
        {"output of the wanted apps, in order",
         {log("log:out", 3, "a") + log("log:err", 4, "b") + log("log:err", 3, "c\\u001b[31m")},
         {"out 3 a", "err 3 c\x1b[31m"},
         {3, 3, 5}},
        {"exits pm2 does not restart after",
         {event("exit", "a", 1, "stopped", R"(,"autorestart":false)") +
          event("exit", "b", 2, "stopped", R"(,"exit_code":0,"stop_exit_codes":[0])") +
          event("exit", "c", 3, "stopped", R"(,"exit_code":1,"stop_exit_codes":"0")")},
         {"exit a 1 stopped 1700000000 for good", "exit b 2 stopped 1700000000 for good",
          "exit c 3 stopped 1700000000"}},
        {"the daemon's end", {message("pm2:kill", R"({"msg":"pm2 has been killed"})")}, {"kill"}},
        {"another protocol: a new connection", {QByteArray("\x25garbage")}, {"down", "up"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        test::TestEnvironment env;
        FakeDaemon daemon(env.root() + QStringLiteral("/pub.sock"));
        PM2Bus bus(env.root() + QStringLiteral("/pub.sock"));
        for (const int64_t id : c.logsWanted)
            bus.wantLogs(id);
        bus.unwantLogs(5);
        bus.start();
        ASSERT_TRUE(bus.isConnected());
        ASSERT_TRUE(daemon.accept());
        Heard heard(bus);
        for (const QByteArray &bytes : c.writes)
            daemon.write(bytes);
        if (c.heard.endsWith(QStringLiteral("up"))) {
            ASSERT_TRUE(daemon.accept());
        }
        QTest::qWait(50);
        EXPECT_EQ(heard.lines, c.heard);
    }
}

TEST(PM2Bus, comesBackWhenTheDaemonDoesAndBacksOffMeanwhile)
{
    test::TestEnvironment env;
    const QString path = env.root() + QStringLiteral("/pub.sock");
    PM2Bus bus(path);
    Heard heard(bus);
    bus.start(); // no daemon yet
    EXPECT_FALSE(bus.isConnected());

    FakeDaemon daemon(path);
    ASSERT_TRUE(daemon.accept()); // found on a retry
    ASSERT_TRUE(bus.isConnected());
    daemon.stop(); // killed: the connection closes, the socket file goes
    ASSERT_TRUE(QTest::qWaitFor([&] { return !bus.isConnected(); }, 2000));

    // Tries at 0.25, 0.75 and 1.75 s fail; the next comes 2 s after the last.
    QTest::qWait(2000);
    daemon.listen();
    QElapsedTimer back;
    back.start();
    ASSERT_TRUE(daemon.accept());
    EXPECT_GT(back.elapsed(), 1000) << "the waits double";
    daemon.write(event("online", "web", 0, "online"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return heard.lines.size() == 4; }, 2000));
    EXPECT_EQ(heard.lines, QStringList({"up", "down", "up", "online web 0 online 1700000000"}));
}
