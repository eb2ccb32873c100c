// The cost of one look for what apps left behind: every process of ours has its environment
// read. On a /proc of our making (files in a temporary directory) and on the real one with that
// many real sleeping processes, 1 in 50 of them carrying the marks of one of 100 pm2 apps.
#include "app/strays/stray_scan.h"
#include "bench/support/sleepers.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <csignal>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

using namespace nimbrel;
using namespace Qt::Literals::StringLiterals;

namespace {

const QString home = QStringLiteral("/home/dev/.pm2");

QList<Strays::AppMark> apps()
{
    QList<Strays::AppMark> marks;
    for (int id = 0; id < 100; ++id)
        marks.append({id, QStringLiteral("app%1").arg(id)});
    return marks;
}

// A desktop session's environment (about 3 KB), with pm2's marks for every 50th process.
QByteArray environmentOf(int i)
{
    QByteArray text;
    for (int variable = 0; variable < 40; ++variable)
        text += "VARIABLE_" + QByteArray::number(variable) + '=' + QByteArray(60, 'x') + '\0';
    if (i % 50 == 0)
        text += "PM2_HOME=" + home.toUtf8() + "\0pm_id="_ba + QByteArray::number(i / 50 % 100) +
                "\0name=app"_ba + QByteArray::number(i / 50 % 100) + '\0';
    return text;
}

void write(const QString &path, const QByteArray &contents)
{
    QFile file(path);
    if (file.open(QIODevice::WriteOnly))
        file.write(contents);
}

void fakeProc(benchmark::State &state)
{
    QTemporaryDir root;
    for (int i = 0; i < state.range(0); ++i) {
        const QString dir = root.filePath(QString::number(1000 + i));
        QDir().mkpath(dir);
        write(dir + "/stat", QByteArray::number(1000 + i) +
                                 " (node) S 1 1 1 0 -1 0 0 0 0 0 3 1 0 0 20 0 1 0 99 9 9");
        write(dir + "/environ", environmentOf(i));
    }
    const QList<Strays::AppMark> marks = apps();
    for (auto _ : state)
        benchmark::DoNotOptimize(Strays::marked(marks, home, root.path()));
}
BENCHMARK(fakeProc)
    ->Name("Strays.marked, /proc of our making")
    ->Arg(500)
    ->Arg(5000)
    ->Unit(benchmark::kMillisecond);

void realProc(benchmark::State &state)
{
    const bench::Sleepers sleepers(int(state.range(0)), environmentOf);
    const QList<Strays::AppMark> marks = apps();
    for (auto _ : state)
        benchmark::DoNotOptimize(Strays::marked(marks, home));
}
BENCHMARK(realProc)
    ->Name("Strays.marked, /proc with that many sleeping processes")
    ->Arg(500)
    ->Arg(5000)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

} // namespace

BENCHMARK_MAIN();
