// pm2's daemon protocol, bytes only: the frames its command line and its daemon exchange over the
// daemon's unix socket, and what a reply to the list request says. The socket itself is app/'s.
#pragma once

#include "core/pm2_app.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QList>

namespace nimbrel::PM2Rpc {

// One message: its arguments with their "j:" (JSON) or "s:" (text) prefixes.
using Frame = QList<QByteArray>;

// A reply larger than this is not believed: the command line has no such limit and takes over.
inline constexpr qsizetype maxFrameBytes = qsizetype(256) << 20;

// One byte (protocol version 1 in the high nibble, the argument count in the low one), then each
// argument as a 4-byte big-endian length and its bytes.
QByteArray encode(const Frame &frame);

// The call pm2's own `jlist` makes, under message id `id`.
QByteArray listRequest(QByteArrayView id);

struct Decoded
{
    enum class Kind { incomplete, frame, bad } kind = Kind::incomplete;
    Frame frame{};
    qsizetype consumed = 0; // bytes of the buffer the frame took
};

// The first frame at the head of `buffer`: incomplete until all its bytes are there; bad for
// another protocol version or an argument longer than the limit. Only the first `copied`
// arguments are copied into the frame (a reader that looks at a message's topic first need not
// copy a payload it then skips); `consumed` always covers the whole frame.
Decoded decode(QByteArrayView buffer, int copied = 15);

struct Reply
{
    // otherMessage: not the answer to our id, keep waiting; failed: the daemon answered with an
    // error or with anything but a list of apps.
    enum class Kind { otherMessage, apps, failed } kind = Kind::failed;
    QList<PM2App> apps{};
};

// What `frame` says about the list request sent under `id`.
Reply listReply(const Frame &frame, QByteArrayView id);

} // namespace nimbrel::PM2Rpc
