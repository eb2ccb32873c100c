#include "app/server_row.h"

#include "core/text_numbers.h"

#include "core/stable_sort.h"

#include <cmath>

namespace nimbrel {

QString rawValue(SortKey key)
{
    return key == SortKey::cpu ? QStringLiteral("cpu") : QStringLiteral("memory");
}

std::optional<SortKey> sortKeyFromRawValue(QStringView text)
{
    if (text == u"memory")
        return SortKey::memory;
    if (text == u"cpu")
        return SortKey::cpu;
    return std::nullopt;
}

QString label(SortKey key)
{
    return key == SortKey::cpu ? QStringLiteral("CPU") : QStringLiteral("メモリ");
}

std::optional<QUrl> ServerRow::url() const
{
    const QList<int64_t> &shown = ports.isEmpty() && waiting ? waiting->held : ports;
    if (shown.isEmpty())
        return std::nullopt;
    return QUrl(QStringLiteral("http://localhost:") + QString::number(shown.front()));
}

bool order(const ServerRow &a, const ServerRow &b, SortKey key)
{
    const bool aRunning = a.app.isRunning();
    if (aRunning != b.app.isRunning())
        return aRunning;
    if (aRunning) {
        if (key == SortKey::cpu && std::abs(a.cpuPercent - b.cpuPercent) >= 0.05)
            return a.cpuPercent > b.cpuPercent;
        if (a.memoryBytes != b.memoryBytes)
            return a.memoryBytes > b.memoryBytes;
    }
    if (a.app.name == b.app.name)
        return false;
    // By code point after composition: upper-case ASCII before lower-case, as people expect of
    // a technical list, and the same whatever the user's locale.
    return a.app.name.normalized(QString::NormalizationForm_C).toUcs4() <
           b.app.name.normalized(QString::NormalizationForm_C).toUcs4();
}

void sortRows(QList<ServerRow> &rows, SortKey key)
{
    tolerantStableSort(rows.begin(), rows.end(),
                       [key](const ServerRow &a, const ServerRow &b) { return order(a, b, key); });
}

qsizetype runningCount(const QList<ServerRow> &rows)
{
    return std::count_if(rows.begin(), rows.end(),
                         [](const ServerRow &row) { return row.app.isRunning(); });
}

int64_t totalMemory(const QList<ServerRow> &rows)
{
    int64_t total = 0;
    for (const ServerRow &row : rows)
        total = saturatingAdd(total, row.memoryBytes);
    return total;
}

} // namespace nimbrel
