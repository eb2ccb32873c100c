// Any bytes from the daemon's socket: frames never claim more bytes than arrived, and a reply
// never yields apps for an id it does not carry.
#include "core/pm2_rpc.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    QByteArrayView buffer(reinterpret_cast<const char *>(data), qsizetype(size));
    for (;;) {
        const nimbrel::PM2Rpc::Decoded decoded = nimbrel::PM2Rpc::decode(buffer);
        if (decoded.kind != nimbrel::PM2Rpc::Decoded::Kind::frame)
            return 0;
        if (decoded.consumed < 1 || decoded.consumed > buffer.size())
            __builtin_trap();
        const auto reply = nimbrel::PM2Rpc::listReply(decoded.frame, "1:0");
        if (reply.kind == nimbrel::PM2Rpc::Reply::Kind::apps && decoded.frame.back() != "s:1:0")
            __builtin_trap();
        buffer = buffer.sliced(decoded.consumed);
    }
}
