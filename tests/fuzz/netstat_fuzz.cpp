// Any netstat output gives counts of at least one.
#include "core/port_probe.h"

#include <QString>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString text = QString::fromUtf8(reinterpret_cast<const char *>(data), qsizetype(size));
    const auto counts = nimbrel::PortProbe::establishedCounts(text);
    for (const int64_t count : counts) {
        if (count < 1)
            __builtin_trap();
    }
    return 0;
}
