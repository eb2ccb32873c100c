// Any ps output: parsed, every tree walked, every label made, without a crash or a hang.
#include "core/process_tree.h"

#include <cmath>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString text = QString::fromUtf8(reinterpret_cast<const char *>(data), qsizetype(size));
    const QList<nimbrel::ProcessRow> rows = nimbrel::ProcessTree::parse(text);
    const nimbrel::ProcessTree::Index index(rows);
    for (const nimbrel::ProcessRow &row : rows) {
        const auto usage = index.usage(row.ppid);
        // A label has 42 characters, however many UTF-16 units each takes.
        if (usage.pids.size() != index.members(row.ppid).size() || !std::isfinite(row.cpuSeconds) ||
            row.label().size() > 42 * 8)
            __builtin_trap();
    }
    return 0;
}
