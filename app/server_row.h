// One pm2 app as the panel shows it, and the orders the user can choose.
#pragma once

#include "app/strays/stray_scan.h"
#include "core/instant.h"
#include "core/pm2_app.h"
#include "core/proc_files.h"
#include "core/process_tree.h"

#include <QList>
#include <QString>
#include <QUrl>

#include <cstdint>
#include <optional>

namespace nimbrel {

enum class SortKey { memory, cpu };

QString rawValue(SortKey key);
// Nothing for any text but the two raw values.
std::optional<SortKey> sortKeyFromRawValue(QStringView text);
// The label of the panel's segmented control.
QString label(SortKey key);

struct ServerRow
{
    PM2App app{};
    int64_t memoryBytes = 0; // resident memory of the whole process tree
    double cpuPercent = 0;   // of one core, since the previous refresh
    QList<int64_t> ports{};  // listening ports of the tree, ascending, no duplicates
    int64_t connections = 0; // established connections on those ports
    std::optional<Instant> lastActive{};
    bool pinned = false;
    QList<ProcessRow> processes{};               // the tree, largest first
    QList<ProcFiles::ListenAddress> listening{}; // the whole addresses behind `ports`

    // A stopped app whose ports Nimbrel holds until a request wakes it.
    struct Waiting
    {
        QList<int64_t> held{};  // ascending
        QList<int64_t> taken{}; // ports something else had when Nimbrel tried to hold them
        bool waking = false;    // a request is starting it now
        bool operator==(const Waiting &) const = default;
    };
    std::optional<Waiting> waiting{};
    // Processes the app left behind outside its tree, with the ports they hold.
    QList<Strays::Stray> strays{};

    const QString &id() const { return app.name; }
    // The app's page on this machine at its lowest port (a held one while it waits); nothing
    // without ports.
    std::optional<QUrl> url() const;

    bool operator==(const ServerRow &) const = default;
};

// Running apps first, heaviest first by the key (CPU, with a tolerance of 0.05 points, then
// memory; or memory alone), then by name. Not a strict weak order: see sortRows.
bool order(const ServerRow &a, const ServerRow &b, SortKey key);
// Stable, and safe with the intransitive order above.
void sortRows(QList<ServerRow> &rows, SortKey key);

// Running (online or launching) rows, and the memory of all rows.
qsizetype runningCount(const QList<ServerRow> &rows);
int64_t totalMemory(const QList<ServerRow> &rows);

} // namespace nimbrel
