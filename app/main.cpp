// Process start: the mode is chosen from the arguments before any application object is made,
// so that the command-line modes never need a display.
#include "app/app_delegate.h"
#include "app/bus/pm2_bus.h"
#include "app/launch_mode.h"
#include "app/monitor.h"
#include "app/notify/announcer.h"
#include "app/notify/desktop_notifications.h"
#include "app/store.h"
#include "app/system/shell.h"
#include "app/ui/export_modes.h"
#include "app/ui/menu_bar.h"
#include "app/ui/style.h"
#include "app/ui/translations.h"
#include "app/wake/wake_keeper.h"

#include <QApplication>
#include <QCoreApplication>
#include <QSocketNotifier>
#include <QStringList>
#include <QSystemTrayIcon>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>
#include <vector>

using namespace nimbrel;

namespace {

// Without a display the drawing modes and the headless tray use Qt's offscreen platform. It is
// chosen by argument, not by environment: pm2 and the daemon it starts inherit our environment,
// and nothing but PATH may change for them.
std::vector<char *> withPlatformChosen(int argc, char *argv[])
{
    std::vector<char *> arguments(argv, argv + argc);
    if (qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") &&
        qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        static char platform[] = "-platform";
        static char offscreen[] = "offscreen";
        arguments.insert(arguments.begin() + 1, {platform, offscreen});
    }
    arguments.push_back(nullptr);
    return arguments;
}

// The end of the session (SIGTERM) or Ctrl-C in a terminal (SIGINT) quits like the menu's 終了:
// through the event loop, so everything is put away as usual.
void quitOnTerminationSignals()
{
    static int pipeEnds[2] = {-1, -1};
    if (::pipe2(pipeEnds, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    const auto notify = [](int) {
        // The interrupted code may be about to read errno; a full pipe would change it here.
        const int savedErrno = errno;
        const char byte = 1;
        [[maybe_unused]] const ssize_t written = ::write(pipeEnds[1], &byte, 1);
        errno = savedErrno;
    };
    auto *notifier = new QSocketNotifier(pipeEnds[0], QSocketNotifier::Read, qApp);
    QObject::connect(notifier, &QSocketNotifier::activated, qApp,
                     [] { QCoreApplication::exit(0); });
    struct sigaction action
    {};
    action.sa_handler = notify;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGTERM, &action, nullptr);
    ::sigaction(SIGINT, &action, nullptr);
}

// The command-line modes write their own lines to standard output and nothing anywhere else;
// Qt's notes about the session (no runtime folder, an offscreen platform) would be noise there.
void keepQtQuiet()
{
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &) {});
}

void nameApplication()
{
    QCoreApplication::setOrganizationName(QStringLiteral("Nimbrel"));
    QCoreApplication::setApplicationName(QStringLiteral("Nimbrel"));
}

int runCommandLine(int argc, char *argv[], const LaunchMode &mode)
{
    keepQtQuiet();
    QCoreApplication application(argc, argv);
    nameApplication();
    AppDelegate delegate(Store::shared(), LoginItem::forThisProgram(), printLine);
    if (mode.kind == LaunchMode::Kind::control)
        return delegate.runControl(mode.controlAction, mode.controlName);
    return delegate.runLogin(mode.loginAction);
}

// Whatever mode ends, no command of ours runs on after it (a `pm2 jlist` still asking a silent
// daemon when the picture is taken, say).
int ending(int status)
{
    Shell::endChildren();
    return status;
}

} // namespace

int main(int argc, char *argv[])
{
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments.append(QString::fromLocal8Bit(argv[i]));
    const LaunchMode mode = chooseMode(arguments);
    if (mode.kind == LaunchMode::Kind::control || mode.kind == LaunchMode::Kind::login)
        return ending(runCommandLine(argc, argv, mode));

    std::vector<char *> qtArguments = withPlatformChosen(argc, argv);
    int qtArgumentCount = int(qtArguments.size()) - 1;
    if (mode.kind != LaunchMode::Kind::menuBar)
        keepQtQuiet();
    QApplication application(qtArgumentCount, qtArguments.data());
    nameApplication();
    QApplication::setQuitOnLastWindowClosed(false);
    ui::installQtJapanese(application);
    Store &store = Store::shared();
    Monitor monitor(store);

    switch (mode.kind) {
    case LaunchMode::Kind::screenshot: {
        const ui::ScreenshotOptions options = ui::screenshotOptions(arguments, mode.screenshotPath);
        ui::applyAppearance(application, options.dark);
        ui::writeScreenshot(monitor, store, options);
        break;
    }
    case LaunchMode::Kind::measure:
        ui::measure(monitor, store, printLine);
        break;
    default:
        break;
    }
    if (mode.kind != LaunchMode::Kind::menuBar)
        return ending(QApplication::exec());
    ui::applyAppearance(application, std::nullopt); // the desktop's look, tooltips included

    // Without a display (a headless box that runs pm2) no icon can show, but the monitor and
    // the automatic stop work all the same.
    quitOnTerminationSignals();
    // The panel's thread never waits on the disk; what is on its way is written before the end.
    store.writeInBackground();
    QObject::connect(&application, &QCoreApplication::aboutToQuit, [&store] { store.flush(); });
    // The one subscriber of pm2's events in the process, from the tray's start: the rows follow
    // them at once, between the regular refreshes.
    PM2Bus bus(PM2Bus::defaultPath());
    monitor.follow(bus);
    bus.start();
    LoginItem loginItem = LoginItem::forThisProgram();
    // Before the first refresh: it takes up the holds kept from the last run.
    wake::WakeKeeper keeper(store);
    keeper.attach(monitor);
    // pm2 says an app starts before the app binds: the holds make way in time.
    QObject::connect(&bus, &PM2Bus::processEvent, &keeper, [&keeper](const ProcessEvent &event) {
        keeper.processEvent(event.event, event.name);
    });
    ui::MenuBar menuBar(monitor, store, loginItem);
    menuBar.setBus(&bus);
    DesktopNotifications notifications;
    // Without a notification service: the tray's balloon, where there is a tray.
    notifications.setFallback([&menuBar](const QString &summary, const QString &body) {
        QSystemTrayIcon *tray = menuBar.trayIcon();
        if (!tray || !tray->isVisible() || !QSystemTrayIcon::isSystemTrayAvailable())
            return false;
        tray->showMessage(summary, body);
        return true;
    });
    Announcer announcer(store, monitor, bus, notifications);
    QObject::connect(&keeper, &wake::WakeKeeper::wakeFailed, &notifications,
                     [&notifications](const QString &name) {
                         notifications.show(
                             {.key = QStringLiteral("wake-failed:") + name,
                              .summary = name + QStringLiteral(" を起動できませんでした"),
                              .body = QStringLiteral(
                                  "アクセスがあったので起動しましたが、ポートを開きませんでした")});
                     });
    // The stop's notice names the ports held: the keeper took them up as pm2 reported the stop.
    announcer.setHeldPorts([&keeper] { return keeper.heldPorts(); });
    announcer.setLogOpener([&menuBar](const QString &name) { menuBar.openLogWindow(name); });
    QObject::connect(&announcer, &Announcer::panelRequested, &menuBar, [&menuBar] {
        if (!menuBar.popup() || !menuBar.popup()->isVisible())
            menuBar.togglePanel();
    });
    menuBar.start();
    AppDelegate(store, loginItem, printLine).ensureLoginItem(writeToSystemLog);
    return ending(QApplication::exec());
}
