// The modes that draw the panel without showing it: the PNG export and the size measurement.
#pragma once

#include <QString>
#include <QStringList>

#include <functional>
#include <optional>

class QApplication;

namespace nimbrel {

class Monitor;
class Store;

namespace ui {

struct ScreenshotOptions
{
    QString path;
    bool flattened = true;          // "--scroll" turns the scroll area back on
    std::optional<QString> query{}; // "--query TEXT"
    std::optional<bool> dark{};     // "--appearance dark" or any other word (light)
    std::optional<QString> logs{};  // "--logs NAME": the log window of that app instead
};

ScreenshotOptions screenshotOptions(const QStringList &arguments, const QString &path);

// One refresh, then 3 seconds later the panel (or with `logs`, as soon as the refresh is in, the
// log window at its default size) is drawn into a PNG at the path (nothing is
// written when that fails) and the application quits with status 0. Prints nothing.
void writeScreenshot(Monitor &monitor, Store &store, const ScreenshotOptions &options);

// One refresh, then 3 seconds later prints the screen's available height and the panel's
// natural size through `print`, and quits with status 0.
void measure(Monitor &monitor, Store &store, const std::function<void(const QString &)> &print);

} // namespace ui
} // namespace nimbrel
