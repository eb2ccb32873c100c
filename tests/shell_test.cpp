// The shell runner with real child processes, and where pm2 is looked for.
#include "app/pm2_locator.h"
#include "app/shell.h"
#include "support/test_environment.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>

#include <gtest/gtest.h>

#include <csignal>
#include <dirent.h>
#include <thread>
#include <unistd.h>

using namespace nimbrel;
using namespace std::chrono_literals;

namespace {

const QString sh = QStringLiteral("/bin/sh");

Shell::Result shell(const QString &script, double timeout = 10)
{
    return Shell::run(sh, {QStringLiteral("-c"), script}, std::nullopt, timeout);
}

int openDescriptors()
{
    int count = 0;
    if (DIR *dir = ::opendir("/proc/self/fd")) {
        while (::readdir(dir) != nullptr)
            ++count;
        ::closedir(dir);
    }
    return count;
}

// Children of this process that have exited and were never collected.
int zombieChildren()
{
    int zombies = 0;
    const QString self = QString::number(::getpid());
    const QStringList pids =
        QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &pid : pids) {
        const QByteArray stat = test::readFile(QStringLiteral("/proc/%1/stat").arg(pid));
        // "pid (comm) state ppid ...": the command may hold spaces, so read after the last ')'.
        const QList<QByteArray> fields = stat.mid(stat.lastIndexOf(')') + 2).split(' ');
        if (fields.size() > 1 && fields[0] == "Z" && fields[1] == self.toLatin1())
            ++zombies;
    }
    return zombies;
}

// Kills by pid, from a file the child wrote, whatever the test's outcome.
struct PidFileGuard
{
    QString path;
    ~PidFileGuard()
    {
        const qint64 pid = test::readFile(path).trimmed().toLongLong();
        if (pid > 0)
            ::kill(pid_t(pid), SIGKILL);
    }
};

} // namespace

TEST(ShellRun, childPathPutsTheExtraDirectoryFirst)
{
    test::TestEnvironment env;
    env.set("PATH", QStringLiteral("/custom/bin:/bin"));
    const QStringList args{QStringLiteral("-c"), QStringLiteral("printf %s \"$PATH\"")};
    EXPECT_EQ(Shell::run(sh, args, QStringLiteral("/opt/pm2/bin"), 5).output,
              "/opt/pm2/bin:/custom/bin:/bin");
    EXPECT_EQ(Shell::run(sh, args, std::nullopt, 5).output, "/custom/bin:/bin");
    EXPECT_EQ(Shell::run(sh, args, QString(), 5).output, ":/custom/bin:/bin");

    env.set("PATH", std::nullopt);
    EXPECT_EQ(Shell::run(sh, args, QStringLiteral("/opt/pm2/bin"), 5).output,
              "/opt/pm2/bin:/usr/bin:/bin:/usr/sbin:/sbin");
}

TEST(ShellRun, capturesBothStreamsInOrderWithTheExitStatus)
{
    EXPECT_EQ(shell(QStringLiteral("echo oops >&2; exit 3")).output, "oops\n");
    EXPECT_EQ(shell(QStringLiteral("echo oops >&2; exit 3")).status, 3);

    const Shell::Result mixed = shell(QStringLiteral("echo a; echo b >&2; echo c"));
    EXPECT_EQ(mixed.output, "a\nb\nc\n");
    EXPECT_EQ(mixed.status, 0);

    EXPECT_EQ(shell(QStringLiteral("kill -TERM $$")).status, 128 + SIGTERM);
}

TEST(ShellRun, argumentsReachTheChildUnchangedWithoutAShell)
{
    const QStringList arguments{QStringLiteral("-c"),   QStringLiteral("printf '%s|' \"$@\""),
                                QStringLiteral("sh"),   QStringLiteral("a b;$(touch pwned) `x`"),
                                QStringLiteral("-x"),   QString(),
                                QStringLiteral("'\"*"), QStringLiteral("開発 サーバー")};
    EXPECT_EQ(Shell::run(sh, arguments, std::nullopt, 5).output,
              "a b;$(touch pwned) `x`|-x||'\"*|開発 サーバー|");
    EXPECT_FALSE(QFile::exists(QStringLiteral("pwned")));
}

TEST(ShellRun, outputLargerThanAPipeBufferAndInvalidText)
{
    const Shell::Result large =
        Shell::run(QStringLiteral("/usr/bin/head"),
                   {QStringLiteral("-c"), QStringLiteral("5000000"), QStringLiteral("/dev/zero")},
                   std::nullopt, 20);
    EXPECT_EQ(large.status, 0);
    EXPECT_EQ(large.output.size(), 5000000);

    const Shell::Result invalid = shell(QStringLiteral("printf 'ok\\377\\376'; exit 4"));
    EXPECT_EQ(invalid.output, QString());
    EXPECT_EQ(invalid.status, 4);
}

TEST(ShellRun, programsThatCannotStartReportTheSystemsReason)
{
    test::TestEnvironment env;
    const QString script = env.root() + QStringLiteral("/not-executable");
    test::writeFile(script, "#!/bin/sh\necho hi\n");

    struct Case
    {
        QString path;
        const char *reason;
    };
    const Case cases[] = {
        {env.root() + QStringLiteral("/missing"), "No such file or directory"},
        {script, "Permission denied"},
        {env.root(), "Permission denied"},
    };
    for (const Case &c : cases) {
        const Shell::Result result = Shell::run(c.path, {}, std::nullopt, 5);
        EXPECT_EQ(result.status, Shell::launchFailed) << c.path.toStdString();
        EXPECT_TRUE(result.output.startsWith(QStringLiteral("起動できません: ")));
        EXPECT_TRUE(result.output.contains(QLatin1String(c.reason))) << result.output.toStdString();
    }
}

TEST(ShellRun, aChildPastItsLimitIsTerminatedWithItsChildrenAndItsEarlierOutputKept)
{
    // sleep dies of SIGTERM at once, and so does the child it left holding the output.
    for (const char *script :
         {"echo started; exec sleep 30", "sleep 30 & echo started; exec sleep 30"}) {
        QElapsedTimer clock;
        clock.start();
        const Shell::Result result = shell(QString::fromLatin1(script), 0.5);
        const qint64 elapsed = clock.elapsed();

        EXPECT_EQ(result.status, Shell::timedOut);
        EXPECT_EQ(result.output, "started\n");
        EXPECT_GE(elapsed, 500);
        EXPECT_LT(elapsed, 2500) << script; // no need for the grace period
    }
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(zombieChildren(), 0);
}

TEST(ShellRun, whatIgnoresTerminationCostsAtMostTheGracePeriodAndNothingAfterIt)
{
    // The child itself, or a grandchild that keeps the output open after the child is gone.
    test::TestEnvironment env;
    const PidFileGuard guard{env.root() + QStringLiteral("/pid")};
    const QString loop = QStringLiteral("trap '' TERM; echo $$ > '%1'; echo still here; "
                                        "while :; do sleep 0.1; done")
                             .arg(guard.path);
    const auto threads = [] {
        const QByteArray status = test::readFile(QStringLiteral("/proc/self/status"));
        return status.mid(status.indexOf("Threads:") + 8).split('\n').first().trimmed().toInt();
    };
    struct Case
    {
        QString script;
        int threadsLeft; // the one that collects a child still running, when it is
    };
    const Case cases[] = {
        {loop, 1},
        {QStringLiteral("sh -c \"%1\" & sleep 0.2; exec sleep 30")
             .arg(QString(loop).replace(u'"', QStringLiteral("\\\""))),
         0},
    };
    for (const auto &[script, threadsLeft] : cases) {
        const int descriptors = openDescriptors();
        const int threadsBefore = threads();
        QElapsedTimer clock;
        clock.start();
        const Shell::Result result = shell(script, 0.5);
        const qint64 elapsed = clock.elapsed();

        EXPECT_EQ(result.status, Shell::timedOut);
        EXPECT_EQ(result.output, "still here\n");
        EXPECT_GE(elapsed, 3400);
        EXPECT_LT(elapsed, 5000);
        // The reader gives up with the caller: no descriptor and no thread stays behind for as
        // long as the holder lives.
        std::this_thread::sleep_for(300ms);
        EXPECT_EQ(openDescriptors(), descriptors) << script.toStdString();
        EXPECT_EQ(threads(), threadsBefore + threadsLeft) << script.toStdString();
        ::kill(pid_t(test::readFile(guard.path).trimmed().toLongLong()), SIGKILL);
        std::this_thread::sleep_for(300ms); // its collector ends too
    }
}

TEST(ShellRun, aChildThatClosedItsOutputHoldsTheCallUntilItExits)
{
    QElapsedTimer clock;
    clock.start();
    const Shell::Result result =
        shell(QStringLiteral("echo bye; exec >/dev/null 2>&1; sleep 1.5"), 0.3);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.output, "bye\n");
    EXPECT_GE(clock.elapsed(), 1400);
}

TEST(ShellRun, manyRunsLeaveNoDescriptorAndNoZombieBehind)
{
    const int before = openDescriptors();
    for (int i = 0; i < 200; ++i)
        ASSERT_EQ(Shell::run(QStringLiteral("/bin/true"), {}, std::nullopt, 5).status, 0);
    for (int i = 0; i < 3; ++i)
        ASSERT_EQ(shell(QStringLiteral("exec sleep 5"), 0.05).status, Shell::timedOut);
    Shell::run(QStringLiteral("/nonexistent"), {}, std::nullopt, 5);

    std::this_thread::sleep_for(300ms); // the background reapers of the timed-out children
    EXPECT_EQ(openDescriptors(), before);
    EXPECT_EQ(zombieChildren(), 0);
}

TEST(ShellRun, childrenInheritNoDescriptorBeyondTheStandardThree)
{
    QFile leaky(QStringLiteral("/proc/self/stat"));
    ASSERT_TRUE(leaky.open(QIODevice::ReadOnly));
    const int fd = ::dup(leaky.handle()); // dup drops close-on-exec: the runner must still close it
    const Shell::Result result = shell(QStringLiteral("ls /proc/self/fd | wc -l"));
    ::close(fd);
    // 0, 1, 2 and the descriptor ls opens to read the directory.
    EXPECT_EQ(result.output.trimmed(), "4");
}

TEST(ShellVersions, newestFirstByNumbersNotText)
{
    struct Case
    {
        const char *a;
        const char *b;
        bool aNewer;
        bool bNewer;
    };
    const Case cases[] = {
        {"v20.11.1", "v18.19.0", true, false},
        {"18.2.0", "18.10.0", false, true},
        {"18.0.1", "18", true, false},
        {"18", "18.0", false, false},
        {"v18.0.0v", "18", false, false},
        {"V18", "17", false, true}, // only the lower-case v is dropped
        {"18..1", "18.0.1", true, false},
        {"system", "0", false, false},
        {"18.x", "18.0", false, false},
        {"+2", "1", true, false},
        {"-1", "0", false, true},
        {" 2", "1", false, true},
        {"99999999999999999999", "1", false, true},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(Shell::compareVersionsDescending(QString::fromUtf8(c.a), QString::fromUtf8(c.b)),
                  c.aNewer)
            << c.a << " vs " << c.b;
        EXPECT_EQ(Shell::compareVersionsDescending(QString::fromUtf8(c.b), QString::fromUtf8(c.a)),
                  c.bNewer)
            << c.b << " vs " << c.a;
    }
}

TEST(Pm2Locator, fixedPlacesThenNvmNewestFirstThenTheVersionManagers)
{
    test::TestEnvironment env;
    const QString home = env.home();
    const QString nvm = home + QStringLiteral("/.nvm/versions/node/");
    for (const char *version : {"v18.2.0", "v20.11.1", ".hidden", "v18.19.0", "system"})
        QDir().mkpath(nvm + QLatin1String(version));

    const QStringList expected{
        "/opt/homebrew/bin/pm2",
        "/usr/local/bin/pm2",
        "/usr/bin/pm2",
        "/home/linuxbrew/.linuxbrew/bin/pm2",
        home + "/.bun/bin/pm2",
        nvm + "v20.11.1/bin/pm2",
        nvm + "v18.19.0/bin/pm2",
        nvm + "v18.2.0/bin/pm2",
        nvm + ".hidden/bin/pm2", // no number: version 0, listing order kept among equals
        nvm + "system/bin/pm2",
        home + "/.volta/bin/pm2",
        home + "/.local/share/fnm/aliases/default/bin/pm2",
        home + "/.fnm/aliases/default/bin/pm2",
        home + "/.local/share/pnpm/pm2",
        home + "/.npm-global/bin/pm2",
        home + "/.local/bin/pm2",
        home + "/.asdf/shims/pm2",
        home + "/.local/share/mise/shims/pm2",
    };
    EXPECT_EQ(Shell::pm2Candidates(home, std::nullopt), expected);
    EXPECT_EQ(Shell::pm2Candidates(home, "/opt/pnpm")[13], "/opt/pnpm/pm2");
}

TEST(Pm2Locator, everyPlaceIsFoundAndAnEarlierOneWins)
{
    test::TestEnvironment env;
    const QString dir = env.root() + QStringLiteral("/c/");
    test::writeFile(dir + "plain", "#!/bin/sh\n");
    QDir().mkpath(dir + "directory");
    EXPECT_EQ(Shell::firstExecutable({dir + "missing", dir + "plain", dir + "directory"}),
              std::nullopt);

    // Filled from the last place to the first: each new one is earlier, so it wins.
    QStringList places = test::pm2PlacesUnder(env.home()).candidates;
    QDir().mkpath(env.home() + "/.nvm/versions/node/v22.1.0/bin"); // a node without pm2
    places.insert(1, env.home() + "/.nvm/versions/node/v18.19.0/bin/pm2");
    places.insert(1, env.home() + "/.nvm/versions/node/v20.11.1/bin/pm2");
    for (auto place = places.crbegin(); place != places.crend(); ++place) {
        test::writeFile(*place, "#!/bin/sh\n", true);
        EXPECT_EQ(Pm2Locator::shared().known(), *place);
    }
}

TEST(Pm2Locator, theLoginShellIsAskedLastAndOnlyAPathToAProgramCounts)
{
    test::TestEnvironment env;
    const QString pm2 = env.home() + QStringLiteral("/somewhere/bin/pm2");
    test::writeFile(pm2, "#!/bin/sh\n", true);
    test::writeFile(env.home() + "/plain", "not a program");
    struct Case
    {
        QByteArray script; // what the shell does with "-i -l -c 'command -v pm2'"
        std::optional<QString> found;
    };
    const Case cases[] = {
        {"echo 'Welcome back!'; echo \"$4\" >&2; echo " + pm2.toUtf8() + "; echo", pm2},
        {"echo somewhere/bin/pm2", std::nullopt},
        {"echo " + env.home().toUtf8() + "/plain", std::nullopt},
        {"true", std::nullopt},
        {"read line; echo " + pm2.toUtf8(), pm2}, // its standard input is empty
        {"exec sleep 30", std::nullopt},
    };
    const QString shell = env.root() + QStringLiteral("/shell");
    for (const Case &c : cases) {
        test::writeFile(shell, "#!/bin/sh\necho asked >> \"$0.log\"\n" + c.script + "\n", true);
        QFile::remove(shell + ".log");
        Pm2Locator locator([&] { return Pm2Locator::Places{{}, shell, 1}; });
        QElapsedTimer clock;
        clock.start();
        EXPECT_EQ(locator.locate(), c.found) << c.script.toStdString();
        EXPECT_LT(clock.elapsed(), 2000) << c.script.toStdString(); // at most its limit
        // An answer is kept for good; after a miss the shell is asked again ten minutes on.
        locator.locate();
        EXPECT_EQ(test::readFile(shell + ".log"), "asked\n");
        const auto later = Pm2Locator::Clock::now() + Pm2Locator::askAgainAfterMiss;
        EXPECT_EQ(locator.claimShellQuestion(later), !c.found) << c.script.toStdString();
    }
}
