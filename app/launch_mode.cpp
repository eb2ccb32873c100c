#include "app/launch_mode.h"

namespace nimbrel {

namespace {

std::optional<QString> valueAfter(const QStringList &arguments, qsizetype option, qsizetype offset)
{
    const qsizetype index = option + offset;
    if (index < arguments.size())
        return arguments[index];
    return std::nullopt;
}

} // namespace

LaunchMode chooseMode(const QStringList &arguments)
{
    LaunchMode mode;
    if (arguments.contains(QStringLiteral("--measure"))) {
        mode.kind = LaunchMode::Kind::measure;
        return mode;
    }
    // Without its path "--screenshot" is ignored and the later options get their turn.
    if (const qsizetype at = arguments.indexOf(QStringLiteral("--screenshot")); at >= 0) {
        if (auto path = valueAfter(arguments, at, 1)) {
            mode.kind = LaunchMode::Kind::screenshot;
            mode.screenshotPath = *path;
            return mode;
        }
    }
    if (const qsizetype at = arguments.indexOf(QStringLiteral("--login")); at >= 0) {
        mode.kind = LaunchMode::Kind::login;
        mode.loginAction = valueAfter(arguments, at, 1).value_or(QStringLiteral("status"));
        return mode;
    }
    if (const qsizetype at = arguments.indexOf(QStringLiteral("--control")); at >= 0) {
        mode.kind = LaunchMode::Kind::control;
        mode.controlAction = valueAfter(arguments, at, 1);
        mode.controlName = valueAfter(arguments, at, 2).value_or(QString());
        return mode;
    }
    return mode;
}

} // namespace nimbrel
