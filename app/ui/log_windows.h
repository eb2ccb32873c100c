// The open log windows, one per app: opening an app's log again raises its window.
#pragma once

#include <QHash>
#include <QObject>
#include <QPointer>
#include <QString>

namespace nimbrel {

class Monitor;
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

private:
    Monitor &monitor_;
    Store &store_;
    QHash<QString, QPointer<LogWindow>> windows_;
};

} // namespace ui
} // namespace nimbrel
