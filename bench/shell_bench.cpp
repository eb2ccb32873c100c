// What the shell runner costs over a bare posix_spawn: its reader thread, deadline wait,
// environment copy and UTF-8 decoding.
#include "app/system/shell.h"

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace {

const QString head = QStringLiteral("/usr/bin/head");
const QStringList tenMiB{QStringLiteral("-c"), QStringLiteral("10485760"),
                         QStringLiteral("/dev/zero")};

// The baseline: posix_spawn with one pipe for both streams, read to the end, wait.
size_t bareSpawn(const char *path, char *const argv[])
{
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        return 0;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 2);
    pid_t pid = 0;
    const int error = posix_spawn(&pid, path, &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    std::string output;
    char buffer[64 * 1024];
    for (ssize_t n; error == 0 && (n = read(fds[0], buffer, sizeof buffer)) > 0;)
        output.append(buffer, size_t(n));
    close(fds[0]);
    int status = 0;
    if (error == 0)
        waitpid(pid, &status, 0);
    return output.size();
}

void shellRunTrue(benchmark::State &state)
{
    for (auto _ : state)
        benchmark::DoNotOptimize(
            nimbrel::Shell::run(QStringLiteral("/bin/true"), {}, std::nullopt, 10));
}
BENCHMARK(shellRunTrue)->Name("Shell.run /bin/true")->UseRealTime();

void posixSpawnTrue(benchmark::State &state)
{
    char path[] = "/bin/true";
    char *const argv[] = {path, nullptr};
    for (auto _ : state)
        benchmark::DoNotOptimize(bareSpawn(path, argv));
}
BENCHMARK(posixSpawnTrue)->Name("posix_spawn /bin/true")->UseRealTime();

void shellRunTenMiB(benchmark::State &state)
{
    for (auto _ : state)
        benchmark::DoNotOptimize(nimbrel::Shell::run(head, tenMiB, std::nullopt, 30));
    state.SetBytesProcessed(state.iterations() * 10485760);
}
BENCHMARK(shellRunTenMiB)->Name("Shell.run 10 MiB")->UseRealTime()->Unit(benchmark::kMillisecond);

void posixSpawnTenMiB(benchmark::State &state)
{
    char path[] = "/usr/bin/head", c[] = "-c", size[] = "10485760", zero[] = "/dev/zero";
    char *const argv[] = {path, c, size, zero, nullptr};
    for (auto _ : state)
        benchmark::DoNotOptimize(bareSpawn(path, argv));
    state.SetBytesProcessed(state.iterations() * 10485760);
}
BENCHMARK(posixSpawnTenMiB)
    ->Name("posix_spawn 10 MiB")
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
