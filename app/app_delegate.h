// The command-line modes and the start-at-login duties of the program.
#pragma once

#include "app/system/login_item.h"

#include <QString>

#include <functional>
#include <optional>

namespace nimbrel {

class Store;

// One line to standard output, flushed at once: the modes exit right after printing.
void printLine(const QString &line);
// The same to standard error: a script reading the list must not take a reason for an app.
void printErrorLine(const QString &line);

class AppDelegate
{
public:
    using LineWriter = std::function<void(const QString &line)>;

    // `print` receives every line of the command-line modes (standard output in the program),
    // `complain` the reason of a failure that is not the modes' own answer (standard error).
    AppDelegate(Store &store, LoginItem loginItem, LineWriter print,
                LineWriter complain = printErrorLine);

    // `--control ACTION NAME`; the action is absent when "--control" ended the arguments.
    // Returns the exit status.
    int runControl(const std::optional<QString> &action, const QString &name);
    // `--login on|off|status`. Returns the exit status.
    int runLogin(const QString &action);
    // Turns starting at login on at the first menu-bar start, unless the user ever chose.
    // A failure goes to `log` (the system log in the program) and is retried at the next start.
    void ensureLoginItem(const LineWriter &log);

private:
    Store &store_;
    LoginItem loginItem_;
    LineWriter print_;
    LineWriter complain_;
};

// One line to the system log under the name "nimbrel".
void writeToSystemLog(const QString &line);

} // namespace nimbrel
