// pm2's event bus: what the daemon publishes on $PM2_HOME/pub.sock (process events, the apps'
// output, its own end), read on the main thread's loop as it arrives.
#pragma once

#include "core/instant.h"

#include <QByteArray>
#include <QHash>
#include <QObject>
#include <QString>

#include <cstdint>

class QSocketNotifier;
class QTimer;

namespace nimbrel {

struct ProcessEvent // one `process:event` message
{
    QString event; // "start", "online", "exit", "stop", "restart", "delete", "restart overlimit"
    QString name;  // process.name
    int64_t pmId = -1;     // process.pm_id
    QString status;        // process.status ("online", "stopped", "errored", ...)
    bool manually = false; // payload.manually
    Instant at{};          // payload.at (ms since epoch), or the time received
    // pm2 restarts the app after an exit: process.autorestart, unless the exit code is one of
    // process.stop_exit_codes. (An "exit" whose status is "stopped" does not say it.)
    bool restarts = true;
};

struct LogLine // one `log:out` / `log:err` message
{
    QString name;
    int64_t pmId = -1;
    bool isError = false; // log:err
    QByteArray data;      // the raw bytes pm2 sent (may hold several lines, ANSI, bad UTF-8)
    Instant at{};
};

class PM2Bus : public QObject // subscriber of $PM2_HOME/pub.sock, on the main thread's loop
{
    Q_OBJECT
public:
    explicit PM2Bus(QString socketPath, QObject *parent = nullptr);
    ~PM2Bus() override;
    static QString defaultPath(); // $PM2_HOME/pub.sock (PM2_HOME default ~/.pm2)
    void start();                 // connect now; reconnect with backoff capped ~10 s
    bool isConnected() const;
    // log:* payloads are decoded only while someone wants them (a log window is open).
    void wantLogs(int64_t pmId); // counted per pm_id
    void unwantLogs(int64_t pmId);

    // The first wait after a lost connection; each failed try doubles it up to the cap.
    static constexpr int firstRetryMs = 250;
    static constexpr int maxRetryMs = 10'000;

signals:
    void
    connectedChanged(bool connected); // after each (re)connection the monitor refreshes in full
    void processEvent(const nimbrel::ProcessEvent &event); // emitted synchronously as read
    void logLine(const nimbrel::LogLine &line);
    void daemonKilled(); // `pm2:kill`

private:
    void tryConnect();
    void connected();
    void readAvailable();
    // Drops the connection (if any) and tries again after the current backoff.
    void lose();
    void closeSocket();
    // Handles the frame at `at` of the buffer and moves past it; false when none is complete.
    bool dispatch(qsizetype &at);
    void handleFrame(const QByteArray &topic, const QByteArray &payload);

    QString path_;
    int fd_ = -1;
    quint64 connection_ = 0; // counts closed sockets, so a loop notices its socket went away
    bool connected_ = false;
    QSocketNotifier *notifier_ = nullptr;
    QTimer *retry_ = nullptr;
    int retryMs_ = firstRetryMs;
    QByteArray buffer_;
    QHash<int64_t, int> logsWanted_;
};

} // namespace nimbrel
