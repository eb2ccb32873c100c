// Any /proc text, cut into stat, statm and cmdline at its first two NUL bytes and read whole
// as a TCP table and a children list: rows never show negative memory or CPU, tables never a zero
// count, children lists never a pid below 1.
#include "core/proc_files.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArrayView text(reinterpret_cast<const char *>(data), qsizetype(size));
    const qsizetype first = text.indexOf('\0');
    const qsizetype second = first < 0 ? -1 : text.indexOf('\0', first + 1);
    if (second >= 0) {
        const auto row =
            nimbrel::ProcFiles::row(text.first(first), text.sliced(first + 1, second - first - 1),
                                    text.sliced(second + 1), 100, 4096);
        if (row && (row->residentBytes < 0 || row->cpuSeconds < 0))
            __builtin_trap();
    }
    nimbrel::ProcFiles::TcpSockets sockets;
    nimbrel::ProcFiles::addTcpTable(text, sockets);
    for (const int64_t count : std::as_const(sockets.establishedCounts))
        if (count < 1)
            __builtin_trap();
    for (const int64_t pid : nimbrel::ProcFiles::childPids(text))
        if (pid < 1)
            __builtin_trap();
    return 0;
}
