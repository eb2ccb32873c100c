#include "app/ui/menu_bar.h"

#include "app/monitor.h"
#include "app/store.h"
#include "app/ui/panel_view.h"
#include "app/ui/settings_view.h"
#include "app/ui/style.h"
#include "app/ui/texts.h"

#include <QApplication>
#include <QCursor>
#include <QDateTime>
#include <QEvent>
#include <QLayout>
#include <QMenu>
#include <QScreen>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QVBoxLayout>

#include <malloc.h>

namespace nimbrel::ui {

namespace {

constexpr int secondResizeMs = 400;
constexpr int trayWatchMs = 2000;
// A click on the icon while the popup is open first closes the popup (a press outside it) and
// then reaches the icon; within this time that click must not open it again.
constexpr qint64 reopenGuardMs = 300;

qint64 nowMs()
{
    return QDateTime::currentMSecsSinceEpoch();
}

// Grey reads on light and on dark panels alike, whatever the panel's own theme is.
const QColor trayColor(0x9A, 0xA0, 0xA6);

QRect availableAround(QPoint point)
{
    QScreen *screen = QGuiApplication::screenAt(point);
    if (!screen)
        screen = QGuiApplication::primaryScreen();
    return screen ? screen->availableGeometry() : QRect(0, 0, 1920, 1080);
}

} // namespace

MenuBar::MenuBar(Monitor &monitor, Store &store, LoginService &login, QObject *parent)
    : QObject(parent), monitor_(monitor), store_(store), login_(login)
{}

MenuBar::~MenuBar()
{
    delete popup_;
    delete settingsWindow_;
    delete menu_;
}

void MenuBar::start()
{
    if (!store_.object(StoreKey::trayPosition).isValid())
        store_.setValue(StoreKey::trayPosition, 300);

    tray_ = new QSystemTrayIcon(symbolIcon(QStringLiteral("server.rack"), 22, trayColor), this);
    tray_->setToolTip(texts::title);
    // Desktops that open the menu on a left click still reach the panel and the settings.
    menu_ = new QMenu;
    menu_->addAction(texts::title, this, &MenuBar::togglePanel);
    menu_->addAction(texts::settings, this, &MenuBar::openSettings);
    menu_->addAction(texts::quit, this, [] { QCoreApplication::exit(0); });
    tray_->setContextMenu(menu_);
    connect(tray_, &QSystemTrayIcon::activated, this,
            [this](QSystemTrayIcon::ActivationReason why) {
                const qint64 at = nowMs();
                if (at < ignoreClicksUntil_)
                    return; // the click whose press already closed or kept the popup
                if (why == QSystemTrayIcon::Trigger) {
                    lastTriggerAt_ = at;
                    togglePanel();
                } else if (why == QSystemTrayIcon::DoubleClick &&
                           at - lastTriggerAt_ > QApplication::doubleClickInterval()) {
                    // Some trays deliver only double clicks.
                    togglePanel();
                }
            });
    dockWhenATrayAppears();

    popup_ = new QWidget(nullptr, Qt::Popup | Qt::FramelessWindowHint);
    popup_->setObjectName(QStringLiteral("popup"));
    popup_->setWindowTitle(texts::title);
    auto *layout = new QVBoxLayout(popup_);
    layout->setContentsMargins(0, 0, 0, 0);
    QPointer<MenuBar> self(this);
    PanelView::Options options;
    options.onSettings = [self] {
        if (self)
            self->openSettings();
    };
    options.onQuit = [] { QCoreApplication::exit(0); };
    options.framed = true;
    options.onResize = [self] {
        if (self)
            self->resizePopover();
    };
    panel_ = new PanelView(monitor_, store_, options, popup_);
    // The app sits in the tray all day: give back the memory a refresh or the popup used.
    connect(&monitor_, &Monitor::lastRefreshChanged, this,
            [] { QTimer::singleShot(0, [] { malloc_trim(0); }); });
    layout->addWidget(panel_);
    popup_->installEventFilter(this);

    monitor_.start();
}

void MenuBar::dockWhenATrayAppears()
{
    if (QSystemTrayIcon::isSystemTrayAvailable()) {
        tray_->show();
        return;
    }
    if (QGuiApplication::platformName() == u"offscreen")
        return; // no display at all: no tray will ever appear
    // No tray host yet (a session still starting, a panel restarting): the monitor works all
    // the same, and the icon docks as soon as a host appears.
    trayWatch_ = new QTimer(this);
    trayWatch_->setInterval(trayWatchMs);
    connect(trayWatch_, &QTimer::timeout, this, [this] {
        if (!QSystemTrayIcon::isSystemTrayAvailable())
            return;
        trayWatch_->stop();
        tray_->show();
    });
    trayWatch_->start();
}

void MenuBar::togglePanel()
{
    if (popup_->isVisible()) {
        popup_->close();
        return;
    }
    monitor_.refresh();
    showPopup();
}

void MenuBar::showPopup()
{
    popupOpenedAt_ = nowMs();
    resizePopover();
    popup_->show();
    popup_->activateWindow();
    panel_->panelShown();
    QPointer<MenuBar> self(this);
    QTimer::singleShot(secondResizeMs, Qt::PreciseTimer, this, [self] {
        if (self)
            self->resizePopover();
    });
}

void MenuBar::resizePopover()
{
    panel_->layout()->activate();
    // The panel's width is fixed; its hint alone may not say so before it was first shown.
    const QSize size = panel_->sizeHint().expandedTo(panel_->minimumSize());
    if (size.width() <= 0 || size.height() <= 0)
        return;
    const QRect available =
        availableAround(popup_->isVisible() ? popup_->geometry().center() : QCursor::pos());
    // A screen smaller than the panel: the popup stays on it, and the list scrolls.
    popup_->resize(size.width(), std::min(size.height(), available.height()));
    place();
}

void MenuBar::place()
{
    std::optional<QRect> icon;
    if (tray_ && tray_->isVisible() && tray_->geometry().isValid() && !tray_->geometry().isEmpty())
        icon = tray_->geometry();
    const QPoint pointer = QCursor::pos();
    popup_->move(
        placement(popup_->size(), icon, pointer, availableAround(icon ? icon->center() : pointer)));
}

QPoint MenuBar::placement(QSize size, std::optional<QRect> icon, QPoint pointer, QRect available)
{
    QPoint at;
    if (icon) {
        const bool lowerHalf = icon->center().y() > available.center().y();
        at = QPoint(icon->center().x() - size.width() / 2,
                    lowerHalf ? icon->top() - size.height() : icon->bottom() + 1);
    } else {
        at = QPoint(pointer.x() - size.width() / 2, pointer.y());
        if (pointer.y() > available.center().y())
            at.setY(pointer.y() - size.height());
    }
    at.setX(std::clamp(at.x(), available.left(),
                       std::max(available.left(), available.right() + 1 - size.width())));
    at.setY(std::clamp(at.y(), available.top(),
                       std::max(available.top(), available.bottom() + 1 - size.height())));
    return at;
}

void MenuBar::openSettings()
{
    popup_->close();
    if (!settingsWindow_) {
        auto *window =
            new QWidget(nullptr, Qt::Window | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
        window->setObjectName(QStringLiteral("settingsWindow"));
        window->setWindowTitle(texts::settingsWindowTitle);
        window->setFixedSize(520, 460);
        auto *layout = new QVBoxLayout(window);
        layout->setContentsMargins(0, 0, 0, 0);
        layout->addWidget(
            new SettingsView(monitor_, store_, login_, SettingsView::chooseWithDialog, window));
        // Made once and centred then; closing it only hides it, with the view's state kept.
        const QRect screen = availableAround(QCursor::pos());
        window->move(screen.center() - QPoint(260, 230));
        settingsWindow_ = window;
    }
    settingsWindow_->show();
    settingsWindow_->raise();
    settingsWindow_->activateWindow();
}

bool MenuBar::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == popup_) {
        if (event->type() == QEvent::Show)
            panel_->panelShown();
        else if (event->type() == QEvent::Hide) {
            panel_->panelHidden();
            if (tray_ && tray_->geometry().contains(QCursor::pos())) {
                // Closed by a press on the icon: the click that follows must not reopen it,
                // and the second click of a double click leaves the panel open.
                const qint64 at = nowMs();
                ignoreClicksUntil_ = at + reopenGuardMs;
                if (at - popupOpenedAt_ < QApplication::doubleClickInterval())
                    QTimer::singleShot(0, this, &MenuBar::showPopup);
            }
            QTimer::singleShot(0, [] { malloc_trim(0); });
        }
    }
    return QObject::eventFilter(watched, event);
}

} // namespace nimbrel::ui
