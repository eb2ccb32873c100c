#include "app/pm2/pm2_locator.h"

#include "app/system/shell.h"

#include <QDir>
#include <QFile>

#include <pwd.h>
#include <unistd.h>
#include <vector>

namespace nimbrel {

namespace {

QString passwdShell()
{
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd *found = nullptr;
    if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) != 0 || !found ||
        !found->pw_shell)
        return {};
    return QFile::decodeName(found->pw_shell);
}

} // namespace

PM2Locator::Places PM2Locator::userPlaces()
{
    const QByteArray pnpm = qgetenv("PNPM_HOME");
    QString shell = qEnvironmentVariable("SHELL");
    if (shell.isEmpty())
        shell = passwdShell();
    return {Shell::pm2Candidates(QDir::homePath(), pnpm.isEmpty()
                                                       ? std::nullopt
                                                       : std::optional(QFile::decodeName(pnpm))),
            shell};
}

PM2Locator &PM2Locator::shared()
{
    // Never destroyed: the monitor's thread may be asking the login shell, and write the answer
    // here, while exit() runs the destructors of static objects.
    static auto *locator = new PM2Locator;
    return *locator;
}

PM2Locator::PM2Locator(std::function<Places()> places) : places_(std::move(places)) {}

void PM2Locator::usePlaces(std::function<Places()> places)
{
    std::lock_guard guard(lock_);
    places_ = std::move(places);
    shellAnswer_.reset();
    lastQuestion_.reset();
}

std::optional<QString> PM2Locator::known()
{
    std::unique_lock guard(lock_);
    const std::function<Places()> places = places_;
    std::optional<QString> answer = shellAnswer_;
    guard.unlock();
    if (auto found = Shell::firstExecutable(places().candidates))
        return found;
    // An answer remembered for the process's life, as long as it still names a program.
    if (answer && Shell::firstExecutable({*answer}))
        return answer;
    return std::nullopt;
}

bool PM2Locator::claimShellQuestion(Clock::time_point now)
{
    std::lock_guard guard(lock_);
    if (shellAnswer_ || (lastQuestion_ && now - *lastQuestion_ < askAgainAfterMiss))
        return false;
    lastQuestion_ = now;
    return true;
}

void PM2Locator::askShell()
{
    std::unique_lock guard(lock_);
    const Places places = places_();
    guard.unlock();
    if (places.shell.isEmpty())
        return;
    // A fixed command that carries nothing of ours; -i -l so that the rc files run.
    const Shell::Result result =
        Shell::runDetached(places.shell,
                           {QStringLiteral("-i"), QStringLiteral("-l"), QStringLiteral("-c"),
                            QStringLiteral("command -v pm2")},
                           places.shellTimeout);
    std::optional<QString> answer = Shell::pm2FromShellOutput(result.output);
    guard.lock();
    if (answer)
        shellAnswer_ = std::move(answer);
}

std::optional<QString> PM2Locator::locate()
{
    if (auto found = known())
        return found;
    if (claimShellQuestion())
        askShell();
    return known();
}

} // namespace nimbrel
