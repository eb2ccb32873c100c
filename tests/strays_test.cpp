// What apps leave behind, against a /proc of our making: which processes count as an app's
// strays and when they are looked for, and a pid given to another process is never signalled.
#include "app/strays/stray_tracker.h"
#include "support/test_environment.h"

#include <gtest/gtest.h>

#include <csignal>
#include <spawn.h>
#include <sys/wait.h>

using namespace nimbrel;
using namespace nimbrel::Strays;
using namespace Qt::Literals::StringLiterals;

namespace {

// A process of the fake /proc under `root`, started at `start`, that pm2 of `home` started as
// app `pmId` `name`.
void fakeProcess(const QString &root, int64_t pid, int64_t start, const QString &home = {},
                 int64_t pmId = 0, const char *name = "web")
{
    const QString dir = root + u'/' + QString::number(pid);
    test::writeFile(dir + "/stat", QByteArray::number(pid) +
                                       " (node) S 1 1 1 0 -1 0 0 0 0 0 3 1 0 0 20 0 1 0 " +
                                       QByteArray::number(start) + " 9 9");
    test::writeFile(dir + "/environ", "PATH=/bin\0PM2_HOME="_ba + home.toUtf8() + "\0pm_id="_ba +
                                          QByteArray::number(pmId) + "\0name="_ba + name + '\0');
}

PM2App app(const char *name, int64_t pmId, PM2App::Status status, int64_t restarts = 0)
{
    return {.name = name, .pmId = pmId, .status = status, .restarts = restarts};
}

using Pids = QHash<QString, QList<int64_t>>;

// The pids of each app's strays that `tracker` gives `seconds` after its clock's start.
Pids strays(StrayTracker &tracker, int seconds)
{
    Pids pids;
    const auto at = StrayTracker::Clock::time_point() + std::chrono::seconds(seconds);
    for (const auto &[name, strays] : tracker.strays(at).asKeyValueRange())
        for (const Stray &stray : strays)
            pids[name].append(stray.process.pid);
    return pids;
}

} // namespace

TEST(Strays, appsNotOnlineOrRestartedAreLookedAtOnceAMinuteForTheirMarkedProcesses)
{
    test::TestEnvironment env;
    const QString root = env.root() + "/proc", home = env.pm2Home();
    using S = PM2App::Status;
    fakeProcess(root, 100, 7, home, 0, "web");
    fakeProcess(root, 101, 7, home, 1, "api");
    fakeProcess(root, 102, 7, env.root() + "/other", 0, "web"); // another pm2
    fakeProcess(root, 103, 7, home, 1, "web");                  // another app's id
    fakeProcess(root, 104, 7, home, 0, "web");                  // pm2's daemon
    test::writeFile(home + "/pm2.pid", "104\n");
    StrayTracker tracker(home, root);
    tracker.observe({app("web", 0, S::stopped), app("api", 1, S::online)}, {});
    EXPECT_EQ(strays(tracker, 100), (Pids{{"web", {100}}})); // api: online, not restarted

    // api restarted, web left one more: seen at the first look a minute after the last.
    fakeProcess(root, 105, 7, home, 0, "web");
    tracker.observe({app("web", 0, S::stopped), app("api", 1, S::online, 1)}, {});
    EXPECT_EQ(strays(tracker, 159), (Pids{{"web", {100}}}));
    tracker.observe({app("web", 0, S::stopped), app("api", 1, S::online, 1)}, {});
    EXPECT_EQ(strays(tracker, 160), (Pids{{"web", {100, 105}}, {"api", {101}}}));

    // One that ended, and one whose pid another process took, are gone before the next look.
    QDir(root + "/100").removeRecursively();
    fakeProcess(root, 101, 8, home, 1, "api");
    EXPECT_EQ(strays(tracker, 161), (Pids{{"web", {105}}}));
}

TEST(Strays, aPidNowGivenToAnotherProcessIsNeverSignalled)
{
    test::TestEnvironment env;
    const QString root = env.root() + "/proc";
    pid_t pid = 0;
    char sleep[] = "sleep", seconds[] = "30";
    char *arguments[] = {sleep, seconds, nullptr};
    ASSERT_EQ(::posix_spawn(&pid, "/bin/sleep", nullptr, nullptr, arguments, environ), 0);
    const std::optional<ProcessKey> real = keyOf(pid);
    ASSERT_TRUE(real);
    // Our /proc says that pid started later: it is not the process the key names.
    fakeProcess(root, pid, real->startTicks + 1);
    EXPECT_TRUE(end({*real}, root).isEmpty());
    EXPECT_EQ(::waitpid(pid, nullptr, WNOHANG), 0);
    // The same process: it ends.
    EXPECT_EQ(end({*real}), QList<ProcessKey>{*real});
    int status = 0;
    EXPECT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM);
}
