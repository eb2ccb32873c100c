#include "core/pm2_rpc.h"

#include "core/pm2_list_parser.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>

namespace nimbrel::PM2Rpc {

namespace {

constexpr unsigned char version = 1;

void appendLength(QByteArray &bytes, quint32 length)
{
    for (int shift = 24; shift >= 0; shift -= 8)
        bytes.append(char((length >> shift) & 0xff));
}

quint32 lengthAt(QByteArrayView buffer, qsizetype at)
{
    quint32 length = 0;
    for (qsizetype i = 0; i < 4; ++i)
        length = (length << 8) | static_cast<unsigned char>(buffer[at + i]);
    return length;
}

} // namespace

QByteArray encode(const Frame &frame)
{
    QByteArray bytes;
    bytes.append(char(version << 4 | (frame.size() & 0xf)));
    for (const QByteArray &argument : frame) {
        appendLength(bytes, quint32(argument.size()));
        bytes.append(argument);
    }
    return bytes;
}

QByteArray listRequest(QByteArrayView id)
{
    return encode({QByteArrayLiteral(R"(j:{"type":"call","method":"getMonitorData","args":[{}]})"),
                   QByteArrayLiteral("s:") + id.toByteArray()});
}

Decoded decode(QByteArrayView buffer, int copied)
{
    if (buffer.isEmpty())
        return {};
    const auto meta = static_cast<unsigned char>(buffer[0]);
    if (meta >> 4 != version)
        return {.kind = Decoded::Kind::bad};
    const int count = meta & 0xf;

    // Lengths first, so nothing is copied until the whole frame is there.
    qsizetype at = 1;
    for (int i = 0; i < count; ++i) {
        if (buffer.size() - at < 4)
            return {};
        const quint32 length = lengthAt(buffer, at);
        if (length > quint32(maxFrameBytes))
            return {.kind = Decoded::Kind::bad};
        at += 4 + qsizetype(length);
        if (at > maxFrameBytes + 64)
            return {.kind = Decoded::Kind::bad};
        if (at > buffer.size())
            return {};
    }

    Decoded decoded{.kind = Decoded::Kind::frame, .consumed = at};
    decoded.frame.reserve(std::min(count, copied));
    for (qsizetype next = 1; next < at && decoded.frame.size() < copied;) {
        const quint32 length = lengthAt(buffer, next);
        decoded.frame.append(buffer.sliced(next + 4, length).toByteArray());
        next += 4 + qsizetype(length);
    }
    return decoded;
}

Reply listReply(const Frame &frame, QByteArrayView id)
{
    // The daemon answers with the reply, then the id it was asked under.
    if (frame.size() < 2 || frame.back() != QByteArrayLiteral("s:") + id.toByteArray())
        return {.kind = Reply::Kind::otherMessage};
    const QByteArray &body = frame.front();
    if (!body.startsWith("j:"))
        return {};
    const QJsonDocument document = QJsonDocument::fromJson(body.sliced(2));
    const QJsonObject reply = document.object();
    if (reply.contains(u"error"))
        return {};
    const QJsonValue apps = reply.value(u"args").toArray().at(0);
    if (!apps.isArray())
        return {};
    if (auto list = PM2ListParser::fromArray(apps.toArray()))
        return {.kind = Reply::Kind::apps, .apps = std::move(*list)};
    return {};
}

} // namespace nimbrel::PM2Rpc
