// Any bytes as a JSON document, and any text as pm2's whole output.
#include "core/pm2_list_parser.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArrayView bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    for (const nimbrel::PM2App &app :
         nimbrel::PM2ListParser::parse(bytes).value_or(QList<nimbrel::PM2App>{}))
        if ((app.pid && *app.pid <= 0) || app.project().size() > app.name.size())
            __builtin_trap();
    (void)nimbrel::PM2ListParser::parseOutput(QString::fromUtf8(bytes));
    return 0;
}
