// One app managed by pm2, as one entry of `pm2 jlist` describes it.
#pragma once

#include "core/instant.h"

#include <QString>
#include <QStringView>

#include <cstdint>
#include <optional>

namespace nimbrel {

struct PM2App
{
    // The raw values are pm2's own status words; they are also what `--control list` prints.
    enum class Status { online, stopped, errored, launching, stopping, unknown };

    QString name{};
    int64_t pmId = -1;
    std::optional<int64_t> pid{};
    Status status = Status::unknown;
    int64_t reportedMemory = 0; // bytes, as pm2 measured its main process
    std::optional<QString> cwd{};
    // When pm2 last started the app (an instant despite pm2's name); only for running apps.
    std::optional<Instant> uptime{};
    int64_t restarts = 0;
    // Where pm2 writes the app's output: out, err, and the combined log (only when asked for).
    // Absent when pm2 writes none (no path, or /dev/null).
    std::optional<QString> outLogPath{};
    std::optional<QString> errLogPath{};
    std::optional<QString> combinedLogPath{};
    // The dayjs format pm2 writes before each piece of output, when the app set one.
    std::optional<QString> logDateFormat{};

    const QString &id() const { return name; }
    bool isRunning() const { return status == Status::online || status == Status::launching; }
    // The name without one trailing role suffix, so "shop-api" and "shop-web" read as one project.
    QString project() const;

    bool operator==(const PM2App &) const = default;
};

QString rawValue(PM2App::Status status);
// Exact, case-sensitive match against the raw values; anything else is `unknown`.
PM2App::Status statusFromRawValue(QStringView text);

} // namespace nimbrel
