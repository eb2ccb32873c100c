// One app's log: the tails of its out and err files joined, then every line that follows.
#pragma once

#include "app/bus/pm2_bus.h"
#include "app/logs/log_file.h"
#include "core/ansi_text.h"
#include "core/pm2_app.h"

#include <QList>
#include <QObject>
#include <QPointer>

#include <array>
#include <optional>

namespace nimbrel {

class LogFeed : public QObject
{
    Q_OBJECT

public:
    static constexpr int tailLines = 1000;

    struct Stream
    {
        std::optional<QString> path; // none: pm2 writes no such log
        bool isError = false;
        std::optional<int> error{}; // errno while the file cannot be read
    };

    explicit LogFeed(const PM2App &app, QObject *parent = nullptr);
    ~LogFeed() override;

    // New lines come from pm2's bus while it is connected (the files are then only kept track
    // of), and from the files whenever it is not. Call before open().
    void followBus(PM2Bus &bus);

    const QString &appName() const { return name_; }
    // Out, then err.
    const std::array<Stream, 2> &streams() const { return streams_; }
    // The file a user would open to read on: out's, else err's.
    std::optional<QString> mainPath() const;

    // The last lines of both files, joined by pm2's times where it wrote them; from then on new
    // lines arrive through `linesArrived`.
    QList<StyledLine> open(int linesPerFile = tailLines);

signals:
    void linesArrived(const QList<StyledLine> &lines);
    // A file became readable or unreadable.
    void streamsChanged();

private:
    void followFile(int stream, const FileTail &tail);
    void take(int stream, const QByteArray &bytes);

    QString name_;
    std::optional<QString> dateFormat_;
    std::array<Stream, 2> streams_;
    std::array<AnsiDecoder, 2> decoders_{AnsiDecoder(false), AnsiDecoder(true)};
    std::array<QPointer<FileFollower>, 2> followers_;
    int64_t pmId_ = -1;
    QPointer<PM2Bus> bus_;
};

} // namespace nimbrel
