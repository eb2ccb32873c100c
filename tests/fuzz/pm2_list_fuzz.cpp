// Any bytes as a JSON document, and any text as pm2's whole output.
#include "core/pm2_list_parser.h"

#include <QString>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArrayView bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    if (const auto apps = nimbrel::PM2ListParser::parse(bytes)) {
        for (const nimbrel::PM2App &app : *apps) {
            if (app.pid && *app.pid <= 0)
                __builtin_trap();
            (void)app.project();
        }
    }
    (void)nimbrel::PM2ListParser::parseOutput(QString::fromUtf8(bytes));
    return 0;
}
