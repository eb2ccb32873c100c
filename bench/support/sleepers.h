// Sleeping processes for the benchmarks that read /proc: as many as a busy desktop has.
#pragma once

#include <QByteArray>

#include <csignal>
#include <cstring>
#include <functional>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char **environ;

namespace nimbrel::bench {

// `count` sleeping processes for as long as it lives, each ended by its pid. The i-th gets the
// NUL-separated variables `environmentOf(i)` gives, or our own environment.
class Sleepers
{
public:
    explicit Sleepers(int count, const std::function<QByteArray(int)> &environmentOf = {})
    {
        char sleep[] = "sleep", seconds[] = "600";
        char *arguments[] = {sleep, seconds, nullptr};
        for (int i = 0; i < count; ++i) {
            QByteArray environment = environmentOf ? environmentOf(i) : QByteArray();
            std::vector<char *> variables;
            for (qsizetype at = 0; at < environment.size();
                 at += qsizetype(strlen(environment.data() + at)) + 1)
                variables.push_back(environment.data() + at);
            variables.push_back(nullptr);
            pid_t pid = 0;
            if (posix_spawn(&pid, "/bin/sleep", nullptr, nullptr, arguments,
                            environmentOf ? variables.data() : environ) == 0)
                pids_.push_back(pid);
        }
    }
    ~Sleepers()
    {
        for (const pid_t pid : pids_)
            ::kill(pid, SIGKILL);
        for (const pid_t pid : pids_)
            ::waitpid(pid, nullptr, 0);
    }
    Sleepers(const Sleepers &) = delete;
    Sleepers &operator=(const Sleepers &) = delete;

private:
    std::vector<pid_t> pids_;
};

} // namespace nimbrel::bench
