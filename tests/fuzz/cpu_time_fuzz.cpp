// Any TIME value reads as a finite number of seconds.
#include "core/process_tree.h"

#include <cmath>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString text = QString::fromUtf8(reinterpret_cast<const char *>(data), qsizetype(size));
    if (!std::isfinite(nimbrel::ProcessTree::parseCPUTime(text)))
        __builtin_trap();
    return 0;
}
