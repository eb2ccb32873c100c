// Which mode the arguments ask for, decided before any application object exists.
#pragma once

#include <QString>
#include <QStringList>

#include <optional>

namespace nimbrel {

struct LaunchMode
{
    enum class Kind { measure, screenshot, login, control, menuBar };

    Kind kind = Kind::menuBar;
    QString screenshotPath{};
    QString loginAction{};                  // "status" when "--login" ends the arguments
    std::optional<QString> controlAction{}; // absent when "--control" ends the arguments
    QString controlName{};                  // empty when absent

    bool operator==(const LaunchMode &) const = default;
};

// Options are matched whole and case-sensitively anywhere in the list (the program's own path
// included); the first occurrence counts and its values are the arguments right after it. Tried
// in the order --measure, --screenshot, --login, --control; none of them means menu-bar mode.
LaunchMode chooseMode(const QStringList &arguments);

} // namespace nimbrel
