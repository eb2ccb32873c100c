// The menu-bar mode: the tray icon, the popup that hosts the panel, and the settings window.
#pragma once

#include "core/panel_toggle.h"

#include <QObject>
#include <QPointer>
#include <QRect>
#include <QWidget>

#include <functional>
#include <optional>

class QMenu;
class QSystemTrayIcon;

namespace nimbrel {

class LoginService;
class Monitor;
class PM2Bus;
class Store;

namespace ui {

class LogWindows;
class PanelView;
class TrayHost;

class MenuBar : public QObject
{
    Q_OBJECT

public:
    // Where the panel lives. On X11 a frameless popup that we place at the icon (or the
    // pointer) and that closes on a press outside. A Wayland session lets no client place a
    // window, and its trays say nothing of where the icon is, so there the panel is an ordinary
    // window that the compositor places and that hides when it loses activation.
    enum class WindowKind { popup, window };
    static WindowKind windowKindFor(const QString &waylandDisplay, const QString &sessionType);

    MenuBar(Monitor &monitor, Store &store, LoginService &login, QObject *parent = nullptr);
    ~MenuBar() override;

    // The start-up: the icon (at once, or when a tray comes), the popup with the panel, then
    // the monitor. (Starting at login is the caller's last step.)
    void start();

    // Opens the panel, or closes it when it is open (the menu's entry).
    void togglePanel();
    // Fits the popup to the panel's natural size, on screen.
    void resizePopover();
    void openSettings();
    // The log window of the app of that name, made or raised (the rows' "ログ" buttons).
    void openLogWindow(const QString &appName);
    // Log windows follow their app's new lines through pm2's bus.
    void setBus(PM2Bus *bus);

    QWidget *popup() const { return popup_; }
    PanelView *panel() const { return panel_; }
    QWidget *settingsWindow() const { return settingsWindow_; }
    QSystemTrayIcon *trayIcon() const { return tray_; }
    WindowKind windowKind() const { return kind_; }

    // Where a popup of `size` goes for an icon at `icon` (or the pointer at `pointer` when the
    // tray gives no place): under the icon, above it when the icon is in the lower half of the
    // screen, and always inside `available`.
    static QPoint placement(QSize size, std::optional<QRect> icon, QPoint pointer, QRect available);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void dockWhenATrayAppears();
    void makeIcon();
    void iconActivated();
    void showPopup();
    void hidePopup();
    void hiddenFromOutside(PanelToggle::Press press);
    void place();

    Monitor &monitor_;
    Store &store_;
    LoginService &login_;
    QSystemTrayIcon *tray_ = nullptr;
    QMenu *menu_ = nullptr;
    QWidget *popup_ = nullptr;
    PanelView *panel_ = nullptr;
    QPointer<QWidget> settingsWindow_;
    LogWindows *logWindows_ = nullptr;
    TrayHost *trayHost_ = nullptr;
    WindowKind kind_;
    PanelToggle toggle_;
    QPoint openedAtPointer_;
    bool hidingOurselves_ = false;
};

} // namespace ui
} // namespace nimbrel
