#include "app/logs/log_feed.h"

#include "core/log_tail.h"

namespace nimbrel {

LogFeed::LogFeed(const PM2App &app, QObject *parent)
    : QObject(parent), name_(app.name), dateFormat_(app.logDateFormat)
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
