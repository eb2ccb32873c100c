// Process start: the mode is chosen from the arguments before any application object is made,
// so that the command-line modes never need a display.
#include "app/app_delegate.h"
#include "app/launch_mode.h"
#include "app/monitor.h"
#include "app/store.h"

#include <QCoreApplication>
#include <QStringList>

using namespace nimbrel;

int main(int argc, char *argv[])
{
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments.append(QString::fromLocal8Bit(argv[i]));
    const LaunchMode mode = chooseMode(arguments);

    QCoreApplication application(argc, argv);
    QCoreApplication::setOrganizationName(QStringLiteral("Nimbrel"));
    QCoreApplication::setApplicationName(QStringLiteral("Nimbrel"));
    AppDelegate delegate(Store::shared(), LoginItem::forThisProgram(), printLine);

    switch (mode.kind) {
    case LaunchMode::Kind::control:
        return delegate.runControl(mode.controlAction, mode.controlName);
    case LaunchMode::Kind::login:
        return delegate.runLogin(mode.loginAction);
    case LaunchMode::Kind::measure:
    case LaunchMode::Kind::screenshot:
        return 1; // these modes draw the panel, which this build does not have yet
    case LaunchMode::Kind::menuBar:
        break;
    }
    // Until the tray arrives, the menu-bar mode is the monitor alone: it refreshes every minute
    // and stops forgotten servers, also on a machine without a display.
    Monitor monitor(Store::shared());
    monitor.start();
    return QCoreApplication::exec();
}
