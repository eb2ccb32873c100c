// The menu-bar mode: the tray icon, the popup that hosts the panel, and the settings window.
#pragma once

#include <QObject>
#include <QPointer>
#include <QRect>
#include <QWidget>

#include <functional>
#include <optional>

class QMenu;
class QSystemTrayIcon;
class QTimer;

namespace nimbrel {

class LoginService;
class Monitor;
class Store;

namespace ui {

class PanelView;

class MenuBar : public QObject
{
    Q_OBJECT

public:
    MenuBar(Monitor &monitor, Store &store, LoginService &login, QObject *parent = nullptr);
    ~MenuBar() override;

    // The start-up: the tray position default, the icon, the popup with the panel, then the
    // monitor. (Starting at login is the caller's last step.)
    void start();

    // Opens the popup under the icon, or closes it when it is open.
    void togglePanel();
    // Fits the popup to the panel's natural size, on screen.
    void resizePopover();
    void openSettings();

    QWidget *popup() const { return popup_; }
    PanelView *panel() const { return panel_; }
    QWidget *settingsWindow() const { return settingsWindow_; }
    QSystemTrayIcon *trayIcon() const { return tray_; }

    // Where a popup of `size` goes for an icon at `icon` (or the pointer at `pointer` when the
    // tray gives no place): under the icon, above it when the icon is in the lower half of the
    // screen, and always inside `available`.
    static QPoint placement(QSize size, std::optional<QRect> icon, QPoint pointer, QRect available);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void dockWhenATrayAppears();
    void showPopup();
    void place();

    Monitor &monitor_;
    Store &store_;
    LoginService &login_;
    QSystemTrayIcon *tray_ = nullptr;
    QMenu *menu_ = nullptr;
    QWidget *popup_ = nullptr;
    PanelView *panel_ = nullptr;
    QPointer<QWidget> settingsWindow_;
    QTimer *trayWatch_ = nullptr;
    qint64 popupOpenedAt_ = 0;
    qint64 lastTriggerAt_ = 0;
    qint64 ignoreClicksUntil_ = 0;
};

} // namespace ui
} // namespace nimbrel
