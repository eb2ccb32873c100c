// The benchmarks' entry point where Qt's event loop, and no window, is needed.
#include <QCoreApplication>

#include <benchmark/benchmark.h>

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
