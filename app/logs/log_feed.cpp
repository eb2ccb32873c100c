#include "app/logs/log_feed.h"

#include "core/log_tail.h"

namespace nimbrel {

LogFeed::LogFeed(const PM2App &app, QObject *parent)
    : QObject(parent), name_(app.name), dateFormat_(app.logDateFormat), pmId_(app.pmId)
{
    streams_[0] = {app.outLogPath, false};
    streams_[1] = {app.errLogPath, true};
    // The combined log repeats out and err; it is read only when it is all there is.
    if (!app.outLogPath && !app.errLogPath)
        streams_[0].path = app.combinedLogPath;
    // Both told to the same file: reading it twice would show every line twice.
    if (streams_[0].path && streams_[0].path == streams_[1].path)
        streams_[1].path.reset();
}

LogFeed::~LogFeed()
{
    if (bus_)
        bus_->unwantLogs(pmId_);
}

void LogFeed::followBus(PM2Bus &bus)
{
    if (pmId_ < 0)
        return; // an app pm2 does not list: only its files can tell
    bus_ = &bus;
    bus.wantLogs(pmId_);
    connect(&bus, &PM2Bus::logLine, this, [this](const LogLine &line) {
        if (line.pmId == pmId_ && bus_ && bus_->isConnected())
            take(line.isError && streams_[1].path ? 1 : 0, line.data);
    });
    connect(&bus, &PM2Bus::connectedChanged, this, [this](bool connected) {
        for (const QPointer<FileFollower> &follower : followers_) {
            if (follower)
                follower->setQuiet(connected);
        }
    });
}

std::optional<QString> LogFeed::mainPath() const
{
    return streams_[0].path ? streams_[0].path : streams_[1].path;
}

QList<StyledLine> LogFeed::open(int linesPerFile)
{
    std::array<QList<StyledLine>, 2> tails;
    for (int s = 0; s < 2; ++s) {
        if (!streams_[s].path)
            continue;
        const FileTail tail = readTail(*streams_[s].path, linesPerFile);
        streams_[s].error = tail.error;
        tails[s] = decoders_[s].feed(tail.bytes);
        tails[s] += decoders_[s].finish();
        followFile(s, tail);
    }
    std::optional<QStringView> format;
    if (dateFormat_)
        format = *dateFormat_;
    return LogTail::interleave(std::move(tails[0]), std::move(tails[1]), format);
}

void LogFeed::followFile(int stream, const FileTail &tail)
{
    auto *follower = new FileFollower(*streams_[stream].path, tail, this);
    follower->setQuiet(bus_ && bus_->isConnected());
    followers_[stream] = follower;
    connect(follower, &FileFollower::appended, this,
            [this, stream](const QByteArray &bytes) { take(stream, bytes); });
    connect(follower, &FileFollower::restarted, this,
            [this, stream] { decoders_[stream] = AnsiDecoder(streams_[stream].isError); });
    connect(follower, &FileFollower::errorChanged, this, [this, stream](std::optional<int> error) {
        streams_[stream].error = error;
        emit streamsChanged();
    });
}

void LogFeed::take(int stream, const QByteArray &bytes)
{
    const QList<StyledLine> lines = decoders_[stream].feed(bytes);
    if (!lines.isEmpty())
        emit linesArrived(lines);
}

} // namespace nimbrel
