// Finds pm2 when the user stored no path: first the places where installers put it, then, as
// editors do, the user's login shell, whose rc files set up nvm and its kind. A program started
// by the desktop lacks the PATH those rc files build, so our own PATH is never searched.
#pragma once

#include <QString>
#include <QStringList>

#include <chrono>
#include <functional>
#include <mutex>
#include <optional>

namespace nimbrel {

class PM2Locator
{
public:
    struct Places
    {
        QStringList candidates; // in order; the first executable file wins
        QString shell;          // the login shell to ask last; empty: none
        double shellTimeout = 5;
    };
    using Clock = std::chrono::steady_clock;
    static constexpr auto askAgainAfterMiss = std::chrono::minutes(10);

    // The user's: the candidates under their home, and $SHELL (else their passwd entry's shell).
    static Places userPlaces();
    // The one locator of the process. Tests hand it their own places.
    static PM2Locator &shared();

    explicit PM2Locator(std::function<Places()> places = userPlaces);
    void usePlaces(std::function<Places()> places);

    // The first executable candidate, else what the login shell answered. Never blocks.
    std::optional<QString> known();
    // True once per due question (never asked, or the last miss is ten minutes old); the caller
    // then asks with askShell(), off the main thread in the tray.
    bool claimShellQuestion(Clock::time_point now = Clock::now());
    // Asks the login shell `command -v pm2` (at most its limit) and remembers the answer.
    void askShell();
    // known(), else the login shell's answer when a question is due: for the command line.
    std::optional<QString> locate();

private:
    std::mutex lock_;
    std::function<Places()> places_;
    std::optional<QString> shellAnswer_;
    std::optional<Clock::time_point> lastQuestion_;
};

} // namespace nimbrel
