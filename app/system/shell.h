// The one place where external commands run: time-limited, without a shell, output captured.
#pragma once

#include <QString>
#include <QStringList>
#include <QStringView>

#include <chrono>
#include <optional>

namespace nimbrel::Shell {

struct Result
{
    QString output; // stdout and stderr as written, decoded as UTF-8; empty when not valid UTF-8
    int status = 0; // the exit status; -1: could not be started; -2: stopped at its time limit
};

inline constexpr int launchFailed = -1;
inline constexpr int timedOut = -2;
// More output than this is dropped (a pm2 list of thousands of apps stays well below it).
inline constexpr qsizetype outputLimit = qsizetype(64) << 20;

// Runs `executable` with `arguments` exactly as given. The child sees our environment with
// `extraPath` (when given) searched before our PATH. The limit counts until the child's output
// has ended and the child has exited; past it the child gets SIGTERM and up to 3 more seconds
// to let go of its output.
Result run(const QString &executable, const QStringList &arguments,
           const std::optional<QString> &extraPath, double timeout);

// As run(), for asking the user's interactive login shell: the child gets an empty standard
// input and a session of its own, so it can neither wait for our terminal nor take it over.
Result runDetached(const QString &executable, const QStringList &arguments, double timeout);

// For the program's exit: ends every child still running (SIGTERM to its group, never more) and
// waits up to `patience` for them to be collected; from then on nothing new is started.
void endChildren(std::chrono::milliseconds patience = std::chrono::seconds(2));

// The PATH a child gets: `extraPath`, then the inherited PATH (or the system default).
QString childPath(const std::optional<QString> &extraPath, const std::optional<QString> &inherited);

// Where pm2 is looked for, in order, for the given home directory and $PNPM_HOME: the fixed
// places, nvm's versions newest first, then where Linux version managers and npm's per-user
// prefix put it.
QStringList pm2Candidates(const QString &home, const std::optional<QString> &pnpmHome);
// The first candidate that is an executable file.
std::optional<QString> firstExecutable(const QStringList &candidates);
// pm2 as the login shell's `command -v pm2` printed it: the last line that is an absolute path
// to an executable file. Greetings and notes of the shell's rc files around it are ignored.
std::optional<QString> pm2FromShellOutput(QStringView output);

// True when version name `a` is strictly newer than `b` ("v20.11.1" before "v18.19.0").
bool compareVersionsDescending(QStringView a, QStringView b);

} // namespace nimbrel::Shell
