#include "core/pm2_list_parser.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>
#include <QVariant>

#include <cmath>

namespace nimbrel::PM2ListParser {

namespace {

// JSON numbers that are whole and fit in 64 bits; a numeric text is not a number.
std::optional<int64_t> integral(const QJsonValue &value)
{
    if (!value.isDouble())
        return std::nullopt;
    const QVariant variant = value.toVariant();
    if (variant.typeId() == QMetaType::LongLong)
        return variant.toLongLong();
    const double number = value.toDouble();
    constexpr double limit = 9223372036854775808.0; // 2^63
    if (!std::isfinite(number) || std::trunc(number) != number || number < -limit ||
        number >= limit)
        return std::nullopt;
    return static_cast<int64_t>(number);
}

std::optional<QString> text(const QJsonValue &value)
{
    if (!value.isString())
        return std::nullopt;
    return value.toString();
}

// pm2 writes to /dev/null when told to keep no log.
std::optional<QString> logPath(const QJsonValue &value)
{
    auto path = text(value);
    if (!path || path->isEmpty() || *path == u"/dev/null")
        return std::nullopt;
    return path;
}

PM2App appFrom(const QJsonObject &entry, QString name)
{
    // A missing or non-object "pm2_env" / "monit" reads as empty: every field takes its default.
    const QJsonObject env = entry.value(u"pm2_env").toObject();
    const QJsonObject monit = entry.value(u"monit").toObject();

    PM2App app;
    app.name = std::move(name);
    app.pmId = integral(entry.value(u"pm_id")).value_or(-1);
    if (const auto pid = integral(entry.value(u"pid")); pid && *pid > 0)
        app.pid = pid;
    if (const auto status = text(env.value(u"status")))
        app.status = statusFromRawValue(*status);
    app.reportedMemory = integral(monit.value(u"memory")).value_or(0);
    app.cwd = text(env.value(u"pm_cwd"));
    if (const QJsonValue started = env.value(u"pm_uptime"); app.isRunning() && started.isDouble())
        app.uptime = instantFromEpochSeconds(started.toDouble() / 1000.0);
    app.restarts = integral(env.value(u"restart_time")).value_or(0);
    app.outLogPath = logPath(env.value(u"pm_out_log_path"));
    app.errLogPath = logPath(env.value(u"pm_err_log_path"));
    app.combinedLogPath = logPath(env.value(u"pm_log_path"));
    if (auto format = text(env.value(u"log_date_format")); format && !format->isEmpty())
        app.logDateFormat = std::move(format);
    return app;
}

std::optional<QJsonDocument> jsonDocument(const QByteArray &bytes)
{
    QJsonParseError error{};
    QJsonDocument document = QJsonDocument::fromJson(bytes, &error);
    if (error.error != QJsonParseError::NoError)
        return std::nullopt;
    return document;
}

QList<PM2App> appsFrom(const QJsonDocument &document)
{
    if (!document.isArray())
        return {};
    return fromArray(document.array()).value_or(QList<PM2App>{});
}

} // namespace

std::optional<QList<PM2App>> fromArray(const QJsonArray &entries)
{
    for (const QJsonValue &entry : entries) {
        if (!entry.isObject())
            return std::nullopt;
    }
    QList<PM2App> apps;
    apps.reserve(entries.size());
    for (const QJsonValue &entry : entries) {
        const QJsonObject object = entry.toObject();
        if (auto name = text(object.value(u"name")))
            apps.append(appFrom(object, std::move(*name)));
    }
    return apps;
}

std::optional<QList<PM2App>> parse(QByteArrayView data)
{
    const auto document = jsonDocument(data.toByteArray());
    if (!document)
        return std::nullopt;
    return appsFrom(*document);
}

std::optional<QList<PM2App>> parseOutput(QStringView output)
{
    const qsizetype open = output.indexOf(u'[');
    const qsizetype close = output.lastIndexOf(u']');
    if (open >= 0 && close > open) {
        if (auto apps = parse(output.sliced(open, close - open + 1).toUtf8()))
            return apps;
    }

    qsizetype end = output.size();
    while (end > 0) {
        const qsizetype newline = output.lastIndexOf(u'\n', end - 1);
        const QStringView line = output.sliced(newline + 1, end - newline - 1).trimmed();
        end = newline < 0 ? 0 : newline;
        // Cheap shape test first: most lines of pm2's notices are not worth a JSON parse.
        if (!line.startsWith(u'[') || !line.endsWith(u']'))
            continue;
        const auto document = jsonDocument(line.toUtf8());
        if (document && document->isArray())
            return appsFrom(*document);
    }
    return std::nullopt;
}

} // namespace nimbrel::PM2ListParser
