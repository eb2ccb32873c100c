// The panel with a busy developer's 50 apps: publishing a refresh to the shown panel (one frame
// is 16 ms), and building it from nothing.
#include "app/monitor.h"
#include "app/ui/panel_view.h"

#include <QApplication>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

using namespace nimbrel;

namespace {

struct Fifty
{
    QList<PM2App> apps;
    SystemSnapshot snapshot;
};

Fifty fiftyApps()
{
    Fifty f;
    for (int a = 0; a < 50; ++a) {
        const int64_t root = 1000 + a * 3;
        f.apps.append({.name = QStringLiteral("project-%1-web").arg(a),
                       .pmId = a,
                       .pid = root,
                       .status = a % 7 == 6 ? PM2App::Status::stopped : PM2App::Status::online});
        for (int p = 0; p < 3; ++p)
            f.snapshot.processes.append({root + p, p == 0 ? 1 : root, (60 - p) << 20, 1.0 + a,
                                         QStringLiteral("/usr/bin/node /srv/app/server.js")});
        f.snapshot.listeningPorts[root] = {3000 + a};
    }
    f.snapshot.takenAt = now();
    return f;
}

struct Scene
{
    QTemporaryDir dir;
    Store store{dir.path() + QStringLiteral("/Nimbrel.json")};
    Monitor monitor{store, [](const QList<int64_t> &) { return SystemSnapshot{}; }};
    PM2Client client{QStringLiteral("/nonexistent/pm2")};
};

void publishToShownPanel(benchmark::State &state)
{
    Scene scene;
    Fifty f = fiftyApps();
    scene.monitor.apply(f.apps, f.snapshot, scene.client);
    ui::PanelView panel(scene.monitor, scene.store, {});
    panel.setAttribute(Qt::WA_DontShowOnScreen);
    panel.show();
    panel.toggle(QStringLiteral("project-3-web"));
    QCoreApplication::processEvents();
    for (auto _ : state) {
        f.snapshot.takenAt += Seconds(60);
        f.snapshot.steadyAt += Seconds(60);
        for (ProcessRow &row : f.snapshot.processes)
            row.cpuSeconds += 0.5;
        scene.monitor.apply(f.apps, f.snapshot, scene.client);
        QCoreApplication::processEvents(); // the panel's coalesced update, layout and paint
    }
}
BENCHMARK(publishToShownPanel)
    ->Name("PanelView: publish 50 rows to the shown panel")
    ->Unit(benchmark::kMillisecond);

void buildPanel(benchmark::State &state)
{
    Scene scene;
    const Fifty f = fiftyApps();
    scene.monitor.apply(f.apps, f.snapshot, scene.client);
    for (auto _ : state) {
        ui::PanelView panel(scene.monitor, scene.store, {});
        panel.setAttribute(Qt::WA_DontShowOnScreen);
        panel.show();
        QCoreApplication::processEvents();
    }
}
BENCHMARK(buildPanel)
    ->Name("PanelView: build and show with 50 rows")
    ->Unit(benchmark::kMillisecond);

} // namespace
