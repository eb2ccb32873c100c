// Any lsof output gives ports that each came from some address in it.
#include "core/port_probe.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString text = QString::fromUtf8(reinterpret_cast<const char *>(data), qsizetype(size));
    for (const auto &ports : nimbrel::PortProbe::listeningPorts(text))
        if (ports.isEmpty())
            __builtin_trap();
    return 0;
}
