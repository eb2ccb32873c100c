// The open log windows, one per app: opening an app's log again raises its window.
#pragma once

#include <QHash>
#include <QObject>
#include <QPointer>
#include <QString>

namespace nimbrel {

class Monitor;
class PM2Bus;
class Store;

namespace ui {

class LogWindow;

class LogWindows : public QObject
{
    Q_OBJECT

public:
    LogWindows(Monitor &monitor, Store &store, QObject *parent = nullptr);
    ~LogWindows() override;

    // Shows the log window of the app of that name (from the monitor's rows), made and read now,
    // or raised when it is open.
    LogWindow *openLogWindow(const QString &appName);
    // Made and read but not shown, for the picture export.
    LogWindow *makeLogWindow(const QString &appName);
    // The windows made from now on follow new lines through pm2's bus where it serves.
    void setBus(PM2Bus *bus);

private:
    Monitor &monitor_;
    Store &store_;
    QPointer<PM2Bus> bus_;
    QHash<QString, QPointer<LogWindow>> windows_;
};

} // namespace ui
} // namespace nimbrel
