// Any text as the output of ps, lsof and netstat, and as a TIME value: parsed, every tree walked
// and every label made without a crash or a hang; CPU times finite, every port set and count
// holding something.
#include "core/port_probe.h"
#include "core/process_tree.h"

#include <cmath>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    using namespace nimbrel;
    const QString text = QString::fromUtf8(reinterpret_cast<const char *>(data), qsizetype(size));
    const QList<ProcessRow> rows = ProcessTree::parse(text);
    const ProcessTree::Index index(rows);
    for (const ProcessRow &row : rows) {
        // A label has 42 characters, however many UTF-16 units each takes.
        if (index.usage(row.ppid).pids.size() != index.members(row.ppid).size() ||
            !std::isfinite(row.cpuSeconds) || row.label().size() > 42 * 8)
            __builtin_trap();
    }
    if (!std::isfinite(ProcessTree::parseCPUTime(text)))
        __builtin_trap();
    for (const auto &ports : PortProbe::listeningPorts(text))
        if (ports.isEmpty())
            __builtin_trap();
    for (const int64_t count : PortProbe::establishedCounts(text))
        if (count < 1)
            __builtin_trap();
    return 0;
}
