#include "app/ui/log_windows.h"

#include "app/logs/log_feed.h"
#include "app/monitor.h"
#include "app/ui/log_window.h"

namespace nimbrel::ui {

LogWindows::LogWindows(Monitor &monitor, Store &store, QObject *parent)
    : QObject(parent), monitor_(monitor), store_(store)
{}

LogWindows::~LogWindows()
{
    for (const QPointer<LogWindow> &window : std::as_const(windows_))
        delete window.data();
}

void LogWindows::setBus(PM2Bus *bus)
{
    bus_ = bus;
}

LogWindow *LogWindows::makeLogWindow(const QString &appName)
{
    PM2App app;
    app.name = appName;
    for (const ServerRow &row : monitor_.rows()) {
        if (row.app.name == appName) {
            app = row.app;
            break;
        }
    }
    auto *feed = new LogFeed(app);
    if (bus_)
        feed->followBus(*bus_);
    auto *window = new LogWindow(feed, store_);
    window->start();
    return window;
}

LogWindow *LogWindows::openLogWindow(const QString &appName)
{
    QPointer<LogWindow> &window = windows_[appName];
    if (!window)
        window = makeLogWindow(appName);
    window->show();
    window->raise();
    window->activateWindow();
    return window;
}

} // namespace nimbrel::ui
