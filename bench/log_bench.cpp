// Opening an app's log window on a 2 GB out log (sparse but for its last megabyte of coloured
// lines) beside a small one: the time to the first drawn page, and the memory it took.
#include "app/logs/log_feed.h"
#include "app/store.h"
#include "app/ui/log_window.h"

#include <QApplication>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

using namespace nimbrel;

namespace {

// `size` bytes of which only the last lines hold data: the rest is a hole, as cheap on disk as it
// is expensive to read whole.
QString makeLog(const QString &path, int64_t size)
{
    QByteArray lines;
    for (int i = 0; lines.size() < (1 << 20); ++i)
        lines += QStringLiteral("2026-01-01 12:00:00: \x1b[32mGET\x1b[0m /api/items/%1 200 "
                                "\x1b[2m12 ms\x1b[0m\n")
                     .arg(i)
                     .toUtf8();
    const int fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0 || ::ftruncate(fd, off_t(size - lines.size())) != 0 ||
        ::pwrite(fd, lines.constData(), size_t(lines.size()), off_t(size - lines.size())) !=
            lines.size())
        qFatal("cannot write the log");
    ::close(fd);
    return path;
}

long peakResidentKib()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

void openLog(benchmark::State &state)
{
    QTemporaryDir dir;
    Store store(dir.path() + QStringLiteral("/Nimbrel.json"));
    PM2App app;
    app.name = QStringLiteral("api");
    app.outLogPath = makeLog(dir.path() + QStringLiteral("/api-out.log"), state.range(0));
    for (auto _ : state) {
        ui::LogWindow window(new LogFeed(app), store);
        window.setAttribute(Qt::WA_DontShowOnScreen);
        window.start();
        window.show();
        benchmark::DoNotOptimize(window.grab()); // the first page, drawn
        if (window.view()->blockCount() != LogFeed::tailLines)
            state.SkipWithError("not the last 1000 lines");
    }
    state.counters["peak_rss_MiB"] = double(peakResidentKib()) / 1024;
    state.counters["file_MiB"] = double(state.range(0)) / (1 << 20);
}
BENCHMARK(openLog)
    ->Name("LogWindow: open, read the tail and draw the first page")
    ->Arg(int64_t(2) << 20)
    ->Arg(int64_t(2) << 30)
    ->Unit(benchmark::kMillisecond);

} // namespace
