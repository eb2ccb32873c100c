// The shell runner with real child processes, and where pm2 is looked for.
#include "app/pm2/pm2_locator.h"
#include "app/system/shell.h"
#include "support/test_environment.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QRegularExpression>

#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace nimbrel;
using namespace std::chrono_literals;

const QString sh = QStringLiteral("/bin/sh");

// Our open descriptors and our threads.
static qsizetype entries(const char *dir)
{
    return QDir(QString::fromLatin1(dir)).count();
}

TEST(ShellRun, runsTheProgramAsGivenWithTheExtraPathFirstCapturingBothStreamsInOrderAndLeaksNothing)
{
    test::TestEnvironment env;
    const QString script = env.root() + QStringLiteral("/not-executable");
    test::writeFile(script, "#!/bin/sh\necho hi\n");
    const int fd = ::open("/proc/self/stat", O_RDONLY); // not close-on-exec: the runner closes it
    const qsizetype descriptors = entries("/proc/self/fd");
    const QString cannot = QStringLiteral("起動できません: ");
    const std::tuple<QString, QStringList, QString, int> cases[] = {
        {sh, {"-c", "echo oops >&2; exit 3"}, "oops\n", 3},
        {sh, {"-c", "echo a; echo b >&2; echo c"}, "a\nb\nc\n", 0},
        {sh, {"-c", "kill -TERM $$"}, "", 128 + SIGTERM},
        {sh, {"-c", "printf 'ok\\377\\376'; exit 4"}, "", 4}, // not UTF-8: nothing
        {sh, {"-c", "head -c 5000000 /dev/zero | tr '\\0' x"}, QString(5'000'000, u'x'), 0},
        // 0, 1, 2 and the one ls reads the directory with: nothing inherited beyond them.
        {sh, {"-c", "ls /proc/self/fd | wc -l"}, "4\n", 0},
        {sh,
         {"-c", "printf '%s|' \"$@\"", "sh", "a b;$(touch pwned) `x`", "-x", "", "'\"*",
          "開発 サーバー"},
         "a b;$(touch pwned) `x`|-x||'\"*|開発 サーバー|",
         0},
        {env.root() + "/missing", {}, cannot + "No such file or directory", Shell::launchFailed},
        {script, {}, cannot + "Permission denied", Shell::launchFailed},
        {env.root(), {}, cannot + "Permission denied", Shell::launchFailed},
    };
    for (const auto &[program, arguments, output, status] : cases) {
        SCOPED_TRACE(arguments.value(1, program).toStdString());
        const Shell::Result result = Shell::run(program, arguments, std::nullopt, 20);
        EXPECT_EQ(result.output, output);
        EXPECT_EQ(result.status, status);
    }
    EXPECT_EQ(entries("/proc/self/fd"), descriptors);
    EXPECT_FALSE(QFile::exists(QStringLiteral("pwned")));
    ::close(fd);
    // The child's PATH puts the extra directory first.
    const auto path = [](const std::optional<QString> &extra) {
        return Shell::run(sh, {"-c", "printf %s \"$PATH\""}, extra, 5).output;
    };
    env.set("PATH", QStringLiteral("/custom/bin:/bin"));
    EXPECT_EQ(path("/opt/pm2/bin"), "/opt/pm2/bin:/custom/bin:/bin");
    EXPECT_EQ(path(std::nullopt), "/custom/bin:/bin");
    env.set("PATH", std::nullopt);
    EXPECT_EQ(path("/opt/pm2/bin"), "/opt/pm2/bin:/usr/bin:/bin:/usr/sbin:/sbin");
}

TEST(ShellRun, theLimitEndsTheWholeGroupWithinTheGracePeriodAndAbandonsTheReader)
{
    test::TestEnvironment env;
    // Ignores SIGTERM and notes its own pid, to be killed by it; ends by itself in any case.
    const QString loop = env.root() + QStringLiteral("/loop"), pidFile = loop + ".pid";
    test::writeFile(loop, "trap '' TERM; echo $$ > \"$0.pid\"; echo still here; "
                          "for i in $(seq 200); do sleep 0.1; done");
    // Script, status, output, at least and below so many milliseconds, and the threads left: the
    // one that collects a child still running, when it is.
    using Case = std::tuple<QString, int, const char *, int, int, int>;
    const Case cases[] = {
        // sleep dies of SIGTERM at once, and so does the child it left holding the output.
        {"echo started; exec sleep 30", Shell::timedOut, "started\n", 500, 2500, 0},
        {"sleep 30 & echo started; exec sleep 30", Shell::timedOut, "started\n", 500, 2500, 0},
        // Closing the output does not end the limit; stopping itself does not outlast it.
        {"echo bye; exec >/dev/null 2>&1; sleep 1.5", Shell::timedOut, "bye\n", 500, 1400, 0},
        {"echo started; kill -STOP $$; sleep 30", Shell::timedOut, "started\n", 500, 2500, 0},
        // What ignores SIGTERM, itself or a grandchild holding the output, costs the grace period.
        {"exec sh " + loop, Shell::timedOut, "still here\n", 3400, 5000, 1},
        {"sh " + loop + " & sleep 0.2; exec sleep 30", Shell::timedOut, "still here\n", 3400, 5000,
         0},
    };
    for (const auto &[script, status, output, atLeast, below, threadsLeft] : cases) {
        SCOPED_TRACE(script.toStdString());
        const qsizetype fds = entries("/proc/self/fd"), threads = entries("/proc/self/task");
        QElapsedTimer clock;
        clock.start();
        const Shell::Result result = Shell::run(sh, {"-c", script}, std::nullopt, 0.5);
        EXPECT_GE(clock.elapsed(), atLeast);
        EXPECT_LT(clock.elapsed(), below);
        EXPECT_EQ(result.status, status);
        EXPECT_EQ(result.output, output);
        // No descriptor and no reader thread stays behind for as long as the holder lives.
        std::this_thread::sleep_for(300ms);
        EXPECT_EQ(entries("/proc/self/fd"), fds);
        EXPECT_EQ(entries("/proc/self/task"), threads + threadsLeft);
        if (const int pid = test::readFile(pidFile).trimmed().toInt(); pid > 0)
            ::kill(pid, SIGKILL);
        QFile::remove(pidFile);
        std::this_thread::sleep_for(300ms); // its collector ends too
    }
    EXPECT_LE(::waitpid(-1, nullptr, WNOHANG), 0); // every child was collected: no zombie
    // Output past the cap is dropped, without holding the child up.
    const Shell::Result flood =
        Shell::run(sh, {"-c", "head -c 67108870 /dev/zero | tr '\\0' x"}, std::nullopt, 20);
    EXPECT_EQ(flood.status, 0);
    EXPECT_EQ(flood.output.size(), Shell::outputLimit);
}

TEST(PM2Locator, fixedPlacesThenNvmNewestFirstThenTheVersionManagersThenTheLoginShell)
{
    test::TestEnvironment env;
    const QString home = env.home();
    const QString nvm = home + QStringLiteral("/.nvm/versions/node/");
    for (const char *version : {"v18.2.0", "v20.11.1", ".hidden", "v18.19.0", "system"})
        QDir().mkpath(nvm + version);
    const QStringList fixed{"/opt/homebrew/bin/pm2", "/usr/local/bin/pm2", "/usr/bin/pm2",
                            "/home/linuxbrew/.linuxbrew/bin/pm2"};
    // ".hidden" has no number: version 0, the listing's order kept among equals.
    QStringList underHome;
    for (const char *dir :
         {"/.bun/bin", "/.nvm/versions/node/v20.11.1/bin", "/.nvm/versions/node/v18.19.0/bin",
          "/.nvm/versions/node/v18.2.0/bin", "/.nvm/versions/node/.hidden/bin",
          "/.nvm/versions/node/system/bin", "/.volta/bin", "/.local/share/fnm/aliases/default/bin",
          "/.fnm/aliases/default/bin", "/.local/share/pnpm", "/.npm-global/bin", "/.local/bin",
          "/.asdf/shims", "/.local/share/mise/shims"})
        underHome.append(home + dir + "/pm2");
    EXPECT_EQ(Shell::pm2Candidates(home, std::nullopt), fixed + underHome);
    EXPECT_EQ(Shell::pm2Candidates(home, "/opt/pnpm")[13], "/opt/pnpm/pm2");

    const QString dir = env.root() + QStringLiteral("/c/");
    test::writeFile(dir + "plain", "#!/bin/sh\n");
    QDir().mkpath(dir + "directory");
    EXPECT_EQ(Shell::firstExecutable({dir + "missing", dir + "plain", dir + "directory"}),
              std::nullopt);
    QDir().mkpath(nvm + "v22.1.0/bin"); // a node without pm2
    // Filled from the last place to the first: each new one is earlier, so it wins.
    for (auto place = underHome.crbegin(); place != underHome.crend(); ++place) {
        test::writeFile(*place, "#!/bin/sh\n", true);
        EXPECT_EQ(PM2Locator::shared().known(), *place);
    }

    // Newest first by numbers, not text.
    // "a>b": a is newer; "a=b": neither is. Only the lower-case v is dropped.
    for (const QString row : {"v20.11.1>v18.19.0", "18.2.0<18.10.0", "18.0.1>18", "18=18.0",
                              "v18.0.0v=18", "V18<17", "18..1>18.0.1", "system=0", "18.x=18.0",
                              "+2>1", "-1<0", " 2<1", "99999999999999999999<1"}) {
        const qsizetype at = row.indexOf(QRegularExpression(QStringLiteral("[<=>]")));
        const QString a = row.left(at), b = row.mid(at + 1);
        EXPECT_EQ(Shell::compareVersionsDescending(a, b), row[at] == u'>') << row.toStdString();
        EXPECT_EQ(Shell::compareVersionsDescending(b, a), row[at] == u'<') << row.toStdString();
    }

    // The login shell is asked last, and only a path to a program counts.
    const QByteArray pm2 = env.home().toUtf8() + "/somewhere/bin/pm2";
    test::writeFile(pm2, "#!/bin/sh\n", true);
    test::writeFile(env.home() + "/plain", "not a program");
    // What the shell does with "-i -l -c 'command -v pm2'", and what it found.
    const std::pair<QByteArray, std::optional<QString>> cases[] = {
        {"echo 'Welcome back!'; echo \"$4\" >&2; echo " + pm2 + "; echo", pm2},
        {"echo " + QDir::current().relativeFilePath(pm2).toUtf8(), std::nullopt}, // relative
        {"echo " + env.home().toUtf8() + "/plain", std::nullopt},
        {"true", std::nullopt},
        {"read line; echo " + pm2, pm2}, // its standard input is empty
        {"exec sleep 30", std::nullopt},
    };
    const QString shell = env.root() + QStringLiteral("/shell");
    for (const auto &[script, found] : cases) {
        test::writeFile(shell, "#!/bin/sh\necho asked >> \"$0.log\"\n" + script + "\n", true);
        QFile::remove(shell + ".log");
        PM2Locator locator([&] { return PM2Locator::Places{{}, shell, 1}; });
        QElapsedTimer clock;
        clock.start();
        EXPECT_EQ(locator.locate(), found) << script.toStdString();
        EXPECT_LT(clock.elapsed(), 2000) << script.toStdString(); // at most its limit
        // An answer is kept for good; after a miss the shell is asked again ten minutes on.
        locator.locate();
        EXPECT_EQ(test::readFile(shell + ".log"), "asked\n");
        const auto later = PM2Locator::Clock::now() + PM2Locator::askAgainAfterMiss;
        EXPECT_EQ(locator.claimShellQuestion(later), !found) << script.toStdString();
    }
}
