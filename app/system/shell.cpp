#include "app/system/shell.h"

#include "app/system/system_error.h"
#include "core/text_numbers.h"

#include <QDir>
#include <QFile>
#include <QStringDecoder>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <poll.h>
#include <set>
#include <signal.h>
#include <spawn.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char **environ;

namespace nimbrel::Shell {

namespace {

using Clock = std::chrono::steady_clock;

constexpr auto terminationGrace = std::chrono::seconds(3);

// Every child started and not yet collected, so that the program can end them as it exits.
// Never destroyed: runners on detached threads may still use it while the process exits.
struct Children
{
    std::mutex lock;
    std::condition_variable collected;
    std::set<pid_t> live;
    bool closing = false; // the program is exiting: nothing new starts
};

Children &children()
{
    static auto *all = new Children;
    return *all;
}

// SIGTERM to the child's whole group, then SIGCONT: a stopped process (a shell that touched a
// terminal, say) keeps SIGTERM pending until it runs again.
void terminate(pid_t pid)
{
    ::kill(-pid, SIGTERM);
    ::kill(-pid, SIGCONT);
}
// No static QString here: the runner may still be at work on the monitor's thread while the
// process exits and static objects are destroyed.
constexpr QStringView defaultSearchPath = u"/usr/bin:/bin:/usr/sbin:/sbin";

// What the reader thread captured. The caller may give up on the reader after a timeout, so the
// box is shared and every access goes through the lock: the caller never sees a torn buffer.
// `wake` lets the caller send the reader home when it stops waiting: a descendant that ignores
// SIGTERM may hold the output open for days, and the reader with its descriptor must not stay
// for that long.
struct Box
{
    std::mutex lock;
    std::condition_variable finished;
    QByteArray data;
    bool done = false;
    int wake = ::eventfd(0, EFD_CLOEXEC); // closed by the reader, under the lock, when done

    void abandon()
    {
        std::lock_guard guard(lock);
        if (!done && wake >= 0) {
            const uint64_t one = 1;
            [[maybe_unused]] const ssize_t written = ::write(wake, &one, sizeof one);
        }
    }
};

Result launchFailure(int error)
{
    return {QStringLiteral("起動できません: ") + systemErrorText(error), launchFailed};
}

QString decoded(const QByteArray &bytes)
{
    QStringDecoder utf8(QStringDecoder::Utf8);
    QString text = utf8.decode(bytes);
    if (utf8.hasError())
        return {};
    return text;
}

// argv / envp for posix_spawn, kept alive by the owning byte arrays.
struct CStrings
{
    std::vector<QByteArray> storage;
    std::vector<char *> pointers;

    void add(QByteArray value) { storage.push_back(std::move(value)); }
    char **terminated()
    {
        pointers.clear();
        for (QByteArray &value : storage)
            pointers.push_back(value.data());
        pointers.push_back(nullptr);
        return pointers.data();
    }
};

CStrings childEnvironment(const std::optional<QString> &extraPath)
{
    CStrings environment;
    std::optional<QString> inherited;
    for (char **entry = environ; *entry != nullptr; ++entry) {
        if (std::strncmp(*entry, "PATH=", 5) == 0) {
            if (!inherited)
                inherited = QFile::decodeName(*entry + 5);
            continue;
        }
        environment.add(QByteArray(*entry));
    }
    environment.add("PATH=" + QFile::encodeName(childPath(extraPath, inherited)));
    return environment;
}

void drain(int fd, const std::shared_ptr<Box> &box)
{
    char buffer[64 * 1024];
    for (;;) {
        pollfd ends[2] = {{fd, POLLIN, 0}, {box->wake, POLLIN, 0}};
        if (::poll(ends, box->wake >= 0 ? 2 : 1, -1) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        if (ends[1].revents != 0)
            break; // the caller gave up on the output
        const ssize_t count = ::read(fd, buffer, sizeof buffer);
        if (count > 0) {
            // Past the cap the rest is read and dropped, so the child is never held up.
            std::lock_guard guard(box->lock);
            box->data.append(buffer, std::min(qsizetype(count), outputLimit - box->data.size()));
        } else if (count < 0 && errno == EINTR) {
            continue;
        } else {
            break;
        }
    }
    ::close(fd);
    {
        std::lock_guard guard(box->lock);
        box->done = true;
        if (box->wake >= 0)
            ::close(box->wake);
    }
    box->finished.notify_all();
}

// Collects the child once it has exited and returns its status. It is first waited for without
// being collected, and collected under the lock, so that its pid (and group) stays ours for as
// long as it is in the list that endChildren() signals.
int reap(pid_t pid)
{
    siginfo_t info{};
    while (::waitid(P_PID, id_t(pid), &info, WEXITED | WNOWAIT) != 0 && errno == EINTR) {
    }
    Children &all = children();
    int status = 0;
    pid_t got = 0;
    {
        std::lock_guard guard(all.lock);
        while ((got = ::waitpid(pid, &status, 0)) < 0 && errno == EINTR) {
        }
        all.live.erase(pid);
    }
    all.collected.notify_all();
    if (got < 0)
        return -1;
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    if (WIFSIGNALED(status))
        return 128 + WTERMSIG(status); // as shells report it: never 0, never -1 or -2
    return -1;
}

// Whether the child has exited by `deadline`; it is left for reap() to collect.
bool exitsBy(pid_t pid, Clock::time_point deadline)
{
    const int pidfd = int(::syscall(SYS_pidfd_open, pid, 0));
    bool exited = false;
    for (;;) {
        siginfo_t info{};
        if (::waitid(P_PID, id_t(pid), &info, WEXITED | WNOHANG | WNOWAIT) != 0) {
            if (errno == EINTR)
                continue;
            exited = true; // not ours to wait for any more
            break;
        }
        if (info.si_pid == pid) {
            exited = true;
            break;
        }
        const auto left =
            std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0)
            break;
        if (pidfd >= 0) {
            pollfd entry{pidfd, POLLIN, 0};
            ::poll(&entry, 1, int(std::min<long long>(left, 60'000)));
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(std::min<long long>(left, 10)));
        }
    }
    if (pidfd >= 0)
        ::close(pidfd);
    return exited;
}

// A child stopped at its limit may take its time to exit; someone must still collect it so that
// no zombie stays behind, and the caller must not wait for it.
void reapInBackground(pid_t pid)
{
    try {
        std::thread([pid] { reap(pid); }).detach();
    } catch (const std::system_error &) {
        // No thread to spare: collect it now if it is already gone, else leave it to init.
        Children &all = children();
        std::lock_guard guard(all.lock);
        int status = 0;
        if (::waitpid(pid, &status, WNOHANG) == pid)
            all.live.erase(pid);
    }
}

Clock::time_point deadlineAfter(double timeout)
{
    // Bounded so that an absurd limit cannot overflow the clock arithmetic.
    constexpr double longest = 365.0 * 24 * 3600;
    const double seconds = std::isnan(timeout) ? 0.0 : std::clamp(timeout, 0.0, longest);
    return Clock::now() +
           std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

struct SpawnSetup
{
    posix_spawn_file_actions_t actions{};
    posix_spawnattr_t attributes{};

    SpawnSetup(int outputFd, bool detached)
    {
        posix_spawn_file_actions_init(&actions);
        if (detached)
            posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_adddup2(&actions, outputFd, STDOUT_FILENO);
        posix_spawn_file_actions_adddup2(&actions, outputFd, STDERR_FILENO);
        // Only stdin, stdout and stderr reach the child: an inherited descriptor (a pipe of a
        // concurrent run, above all) would hold that run's output open for as long as we live.
        posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);

        posix_spawnattr_init(&attributes);
        sigset_t none;
        sigemptyset(&none);
        sigset_t all;
        sigfillset(&all);
        posix_spawnattr_setsigmask(&attributes, &none);
        posix_spawnattr_setsigdefault(&attributes, &all);
        // A group of its own, so that the termination at the limit reaches whatever the child
        // started and left holding its output, not the child alone. The login shell gets a
        // whole session (and with it a group) of its own: in our terminal's session an
        // interactive shell would stop itself (SIGTTIN) as it reached for the terminal.
        posix_spawnattr_setpgroup(&attributes, 0);
        posix_spawnattr_setflags(&attributes,
                                 POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF |
                                     (detached ? POSIX_SPAWN_SETSID : POSIX_SPAWN_SETPGROUP));
    }
    ~SpawnSetup()
    {
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attributes);
    }
    SpawnSetup(const SpawnSetup &) = delete;
    SpawnSetup &operator=(const SpawnSetup &) = delete;
};

} // namespace

QString childPath(const std::optional<QString> &extraPath, const std::optional<QString> &inherited)
{
    const QString base = inherited.value_or(defaultSearchPath.toString());
    return extraPath ? *extraPath + u':' + base : base;
}

namespace {

Result runChild(const QString &executable, const QStringList &arguments,
                const std::optional<QString> &extraPath, double timeout, bool detached)
{
    const Clock::time_point deadline = deadlineAfter(timeout);

    CStrings argv;
    argv.add(QFile::encodeName(executable));
    for (const QString &argument : arguments)
        argv.add(argument.toUtf8());
    CStrings envp = childEnvironment(extraPath);

    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0)
        return launchFailure(errno);

    pid_t pid = 0;
    int error = ECANCELED;
    {
        SpawnSetup setup(fds[1], detached);
        Children &all = children();
        std::lock_guard guard(all.lock);
        if (!all.closing) {
            error = ::posix_spawn(&pid, argv.storage.front().constData(), &setup.actions,
                                  &setup.attributes, argv.terminated(), envp.terminated());
            if (error == 0)
                all.live.insert(pid);
        }
    }
    // Only the child may hold the write end, or the end of its output would never arrive.
    ::close(fds[1]);
    if (error != 0) {
        ::close(fds[0]);
        return launchFailure(error);
    }

    auto box = std::make_shared<Box>();
    try {
        std::thread([fd = fds[0], box] { drain(fd, box); }).detach();
    } catch (const std::system_error &) {
        drain(fds[0], box); // no reader thread to be had: read here, without the limit
    }

    std::unique_lock lock(box->lock);
    if (box->finished.wait_until(lock, deadline, [&] { return box->done; })) {
        const QByteArray captured = std::move(box->data);
        lock.unlock();
        // The output has ended, but a child may close it and go on: the limit still holds.
        if (exitsBy(pid, deadline))
            return {decoded(captured), reap(pid)};
        terminate(pid);
        reapInBackground(pid);
        return {decoded(captured), timedOut};
    }

    lock.unlock();
    terminate(pid);
    lock.lock();
    box->finished.wait_for(lock, terminationGrace, [&] { return box->done; });
    const QByteArray captured = box->data;
    lock.unlock();
    box->abandon();
    reapInBackground(pid);
    return {decoded(captured), timedOut};
}

} // namespace

Result run(const QString &executable, const QStringList &arguments,
           const std::optional<QString> &extraPath, double timeout)
{
    return runChild(executable, arguments, extraPath, timeout, false);
}

Result runDetached(const QString &executable, const QStringList &arguments, double timeout)
{
    return runChild(executable, arguments, std::nullopt, timeout, true);
}

void endChildren(std::chrono::milliseconds patience)
{
    Children &all = children();
    std::unique_lock guard(all.lock);
    all.closing = true;
    for (const pid_t pid : all.live)
        terminate(pid);
    all.collected.wait_for(guard, patience, [&] { return all.live.empty(); });
}

QStringList pm2Candidates(const QString &home, const std::optional<QString> &pnpmHome)
{
    const QString nvmRoot = home + QStringLiteral("/.nvm/versions/node");
    QStringList versions = QDir(nvmRoot).entryList(
        QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
    std::stable_sort(versions.begin(), versions.end(), [](const QString &a, const QString &b) {
        return compareVersionsDescending(a, b);
    });

    QStringList candidates{
        QStringLiteral("/opt/homebrew/bin/pm2"),
        QStringLiteral("/usr/local/bin/pm2"),
        QStringLiteral("/usr/bin/pm2"),
        QStringLiteral("/home/linuxbrew/.linuxbrew/bin/pm2"),
        home + QStringLiteral("/.bun/bin/pm2"),
    };
    for (const QString &version : versions)
        candidates.append(nvmRoot + u'/' + version + QStringLiteral("/bin/pm2"));
    candidates += {
        home + QStringLiteral("/.volta/bin/pm2"),
        home + QStringLiteral("/.local/share/fnm/aliases/default/bin/pm2"),
        home + QStringLiteral("/.fnm/aliases/default/bin/pm2"),
        pnpmHome ? *pnpmHome + QStringLiteral("/pm2")
                 : home + QStringLiteral("/.local/share/pnpm/pm2"),
        home + QStringLiteral("/.npm-global/bin/pm2"),
        home + QStringLiteral("/.local/bin/pm2"),
        home + QStringLiteral("/.asdf/shims/pm2"),
        home + QStringLiteral("/.local/share/mise/shims/pm2"),
    };
    return candidates;
}

std::optional<QString> firstExecutable(const QStringList &candidates)
{
    for (const QString &candidate : candidates) {
        const QByteArray path = QFile::encodeName(candidate);
        struct stat info
        {};
        // A directory passes the execute test too, but it cannot be run.
        if (::stat(path.constData(), &info) == 0 && !S_ISDIR(info.st_mode) &&
            ::access(path.constData(), X_OK) == 0)
            return candidate;
    }
    return std::nullopt;
}

std::optional<QString> pm2FromShellOutput(QStringView output)
{
    const QList<QStringView> lines = output.split(u'\n');
    for (auto line = lines.rbegin(); line != lines.rend(); ++line) {
        const QString path = line->trimmed().toString();
        if (path.startsWith(u'/') && firstExecutable({path}))
            return path;
    }
    return std::nullopt;
}

namespace {

std::vector<int64_t> versionNumbers(QStringView name)
{
    while (name.startsWith(u'v'))
        name = name.sliced(1);
    while (name.endsWith(u'v'))
        name.chop(1);

    std::vector<int64_t> numbers;
    for (QStringView part : name.tokenize(u'.', Qt::SkipEmptyParts)) {
        // An optional sign and ASCII digits only; anything else, overflow included, counts 0.
        numbers.push_back(strictInteger(part).value_or(0));
    }
    return numbers;
}

} // namespace

bool compareVersionsDescending(QStringView a, QStringView b)
{
    const std::vector<int64_t> left = versionNumbers(a);
    const std::vector<int64_t> right = versionNumbers(b);
    const size_t length = std::max(left.size(), right.size());
    for (size_t i = 0; i < length; ++i) {
        const int64_t x = i < left.size() ? left[i] : 0;
        const int64_t y = i < right.size() ? right[i] : 0;
        if (x != y)
            return x > y;
    }
    return false;
}

} // namespace nimbrel::Shell
