#include "app/bus/pm2_bus.h"

#include "core/pm2_rpc.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSocketNotifier>
#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace nimbrel {

namespace {

const QByteArray processEventTopic = QByteArrayLiteral("s:process:event");
const QByteArray logOutTopic = QByteArrayLiteral("s:log:out");
const QByteArray logErrTopic = QByteArrayLiteral("s:log:err");
const QByteArray killTopic = QByteArrayLiteral("s:pm2:kill");

// The payload's object, or nothing for anything but "j:" and a JSON object.
std::optional<QJsonObject> payloadObject(const QByteArray &payload)
{
    if (!payload.startsWith("j:"))
        return std::nullopt;
    const QJsonDocument document = QJsonDocument::fromJson(payload.sliced(2));
    if (!document.isObject())
        return std::nullopt;
    return document.object();
}

// pm2 stamps its messages in milliseconds; a message without a stamp happened as it arrived.
Instant stamp(const QJsonObject &payload)
{
    const QJsonValue at = payload.value(u"at");
    return at.isDouble() ? instantFromEpochSeconds(at.toDouble() / 1000.0) : now();
}

bool restartsAfterExit(const QJsonObject &process)
{
    const QJsonValue autorestart = process.value(u"autorestart");
    if (autorestart == QJsonValue(false) || autorestart == QJsonValue(QStringLiteral("false")))
        return false;
    const QJsonValue codes = process.value(u"stop_exit_codes");
    const QJsonArray list = codes.isArray() ? codes.toArray() : QJsonArray{codes};
    const QJsonValue code = process.value(u"exit_code");
    for (const QJsonValue &stopCode : list) {
        if (code.isDouble() && stopCode.toVariant().toString() == code.toVariant().toString())
            return false;
    }
    return true;
}

int64_t pmIdOf(const QJsonObject &process)
{
    const QJsonValue id = process.value(u"pm_id");
    return id.isDouble() ? int64_t(id.toDouble()) : -1;
}

} // namespace

PM2Bus::PM2Bus(QString socketPath, QObject *parent) : QObject(parent), path_(std::move(socketPath))
{
    retry_ = new QTimer(this);
    retry_->setSingleShot(true);
    connect(retry_, &QTimer::timeout, this, &PM2Bus::tryConnect);
}

PM2Bus::~PM2Bus()
{
    closeSocket();
}

QString PM2Bus::defaultPath()
{
    QString home = qEnvironmentVariable("PM2_HOME");
    if (home.isEmpty())
        home = QDir::homePath() + QStringLiteral("/.pm2");
    return home + QStringLiteral("/pub.sock");
}

void PM2Bus::start()
{
    retry_->stop();
    retryMs_ = firstRetryMs;
    if (fd_ < 0)
        tryConnect();
}

bool PM2Bus::isConnected() const
{
    return connected_;
}

void PM2Bus::wantLogs(int64_t pmId)
{
    ++logsWanted_[pmId];
}

void PM2Bus::unwantLogs(int64_t pmId)
{
    if (const auto wanted = logsWanted_.find(pmId); wanted != logsWanted_.end() && --*wanted <= 0)
        logsWanted_.erase(wanted);
}

void PM2Bus::tryConnect()
{
    closeSocket();
    const QByteArray path = QFile::encodeName(path_);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd_ < 0 || path.isEmpty() || path.size() >= qsizetype(sizeof address.sun_path))
        return lose();
    std::memcpy(address.sun_path, path.constData(), size_t(path.size()));
    if (::connect(fd_, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0)
        return connected();
    if (errno != EAGAIN && errno != EINPROGRESS)
        return lose(); // no socket yet, or a dead daemon's file: ECONNREFUSED, ENOENT
    // A full backlog: the daemon is alive but slow to accept; wait until it does, or refuses.
    notifier_ = new QSocketNotifier(fd_, QSocketNotifier::Write, this);
    connect(notifier_, &QSocketNotifier::activated, this, [this] {
        int error = 0;
        socklen_t length = sizeof error;
        if (::getsockopt(fd_, SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0)
            return lose();
        connected();
    });
}

void PM2Bus::connected()
{
    delete notifier_;
    notifier_ = new QSocketNotifier(fd_, QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, &PM2Bus::readAvailable);
    retryMs_ = firstRetryMs;
    connected_ = true;
    emit connectedChanged(true);
}

void PM2Bus::closeSocket()
{
    delete notifier_;
    notifier_ = nullptr;
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
    buffer_.clear();
    ++connection_;
}

void PM2Bus::lose()
{
    closeSocket();
    retry_->start(retryMs_);
    retryMs_ = std::min(retryMs_ * 2, maxRetryMs);
    if (connected_) {
        connected_ = false;
        emit connectedChanged(false);
    }
}

void PM2Bus::readAvailable()
{
    char chunk[64 * 1024];
    for (;;) {
        const ssize_t got = ::recv(fd_, chunk, sizeof chunk, 0);
        if (got > 0) {
            buffer_.append(chunk, got);
            if (got < qsizetype(sizeof chunk))
                break;
            continue;
        }
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0 && errno == EAGAIN)
            break;
        return lose(); // the daemon went away (killed, updated) or the socket broke
    }

    // A bad frame drops the connection (and the buffer) from inside the loop.
    const quint64 connection = connection_;
    qsizetype at = 0;
    while (connection_ == connection && dispatch(at)) {
    }
    if (connection_ == connection)
        buffer_.remove(0, at);
}

bool PM2Bus::dispatch(qsizetype &at)
{
    const QByteArrayView rest = QByteArrayView(buffer_).sliced(at);
    // The topic alone first: most of the traffic is the apps' output, mostly unwanted.
    const PM2Rpc::Decoded head = PM2Rpc::decode(rest, 1);
    if (head.kind == PM2Rpc::Decoded::Kind::incomplete)
        return false;
    if (head.kind == PM2Rpc::Decoded::Kind::bad || head.frame.isEmpty()) {
        lose(); // out of step with the stream: only a new connection finds a frame's start again
        return false;
    }
    at += head.consumed;
    const QByteArray &topic = head.frame.front();
    const bool isLog = topic == logOutTopic || topic == logErrTopic;
    if (topic == killTopic)
        emit daemonKilled();
    else if (topic == processEventTopic || (isLog && !logsWanted_.isEmpty()))
        handleFrame(topic, PM2Rpc::decode(rest).frame.value(1));
    return true;
}

void PM2Bus::handleFrame(const QByteArray &topic, const QByteArray &payload)
{
    const std::optional<QJsonObject> object = payloadObject(payload);
    if (!object)
        return; // a damaged message is skipped; the next refresh shows the truth
    const QJsonObject process = object->value(u"process").toObject();
    if (topic == processEventTopic) {
        emit processEvent({.event = object->value(u"event").toString(),
                           .name = process.value(u"name").toString(),
                           .pmId = pmIdOf(process),
                           .status = process.value(u"status").toString(),
                           .manually = object->value(u"manually").toBool(),
                           .at = stamp(*object),
                           .restarts = restartsAfterExit(process)});
        return;
    }
    const int64_t pmId = pmIdOf(process);
    if (!logsWanted_.contains(pmId))
        return;
    emit logLine({.name = process.value(u"name").toString(),
                  .pmId = pmId,
                  .isError = topic == logErrTopic,
                  .data = object->value(u"data").toString().toUtf8(),
                  .at = stamp(*object)});
}

} // namespace nimbrel
