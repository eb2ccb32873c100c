#include "app/ui/menu_bar.h"

#include "app/monitor.h"
#include "app/store.h"
#include "app/ui/log_windows.h"
#include "app/ui/overlay_scroll_bar.h"
#include "app/ui/panel_view.h"
#include "app/ui/settings_view.h"
#include "app/ui/style.h"
#include "app/ui/texts.h"
#include "app/ui/tray_host.h"
#include "app/ui/tray_icon.h"

#include <QApplication>
#include <QCursor>
#include <QElapsedTimer>
#include <QEvent>
#include <QKeyEvent>
#include <QLayout>
#include <QMenu>
#include <QScreen>
#include <QScrollArea>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QVBoxLayout>
#include <QWindow>

#include <malloc.h>

namespace nimbrel::ui {

namespace {

// The panel's window, which can give back its native window and drawing buffer while hidden;
// showing it again makes them anew.
class PopupWindow : public QWidget
{
public:
    explicit PopupWindow(Qt::WindowFlags flags) : QWidget(nullptr, flags) {}
    void release() { destroy(); }
};

} // namespace

namespace {

constexpr int secondResizeMs = 400;
// Without the icon's geometry, a press this close to where the pointer opened the popup counts
// as a press on the icon.
constexpr int nearPointer = 12;

// For the intervals between clicks only: a clock that the wall time stepping back (NTP, a resume,
// another system's idea of the hour) cannot move, or every click would be ignored until it
// caught up.
qint64 nowMs()
{
    static const QElapsedTimer clock = [] {
        QElapsedTimer started;
        started.start();
        return started;
    }();
    return clock.elapsed();
}

QRect availableAround(QPoint point)
{
    QScreen *screen = QGuiApplication::screenAt(point);
    if (!screen)
        screen = QGuiApplication::primaryScreen();
    return screen ? screen->availableGeometry() : QRect(0, 0, 1920, 1080);
}

// What the window manager's title bar and frame take of a window's height: what Qt learnt of them
// at an earlier showing, and never less than a title bar (a Wayland compositor tells nothing).
// Without it, a window as tall as the screen has its title bar put off the screen.
int decorationRoom(const QWidget *window)
{
    constexpr int titleBar = 40;
    const QWindow *handle = window ? window->windowHandle() : nullptr;
    const QMargins frame = handle ? handle->frameMargins() : QMargins();
    return std::max(titleBar, frame.top() + frame.bottom());
}

// The settings, as tall as they are up to the room the screen has: with large text on a small
// screen they scroll, rather than run off the screen or be squeezed until their rows vanish.
class FittingScrollArea : public QScrollArea
{
public:
    FittingScrollArea(QWidget *content, QWidget *parent) : QScrollArea(parent)
    {
        setFrameShape(QFrame::NoFrame);
        setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
        setWidgetResizable(true);
        setWidget(content);
        viewport()->setAutoFillBackground(false);
        content->installEventFilter(this);
        new OverlayScrollBar(*this); // thin, over the content's edge, as the panel's list has
    }
    QSize sizeHint() const override
    {
        const QSize content = widget()->sizeHint();
        const int room = availableAround(QCursor::pos()).height() - decorationRoom(window());
        if (content.height() <= room)
            return content;
        constexpr int least = 120; // a few rows, whatever the screen
        return {content.width(), std::max(room, least)};
    }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (watched == widget() && event->type() == QEvent::LayoutRequest)
            updateGeometry(); // a note that appears makes the window taller, up to the room
        return QScrollArea::eventFilter(watched, event);
    }
};

} // namespace

MenuBar::WindowKind MenuBar::windowKindFor(const QString &waylandDisplay,
                                           const QString &sessionType)
{
    // Also under XWayland: the X server there neither sees the pointer over other clients nor
    // hears of clicks outside its windows, so a popup would land anywhere and never close.
    return !waylandDisplay.isEmpty() || sessionType == u"wayland" ? WindowKind::window
                                                                  : WindowKind::popup;
}

MenuBar::MenuBar(Monitor &monitor, Store &store, LoginService &login, QObject *parent)
    : QObject(parent), monitor_(monitor), store_(store), login_(login),
      kind_(windowKindFor(qEnvironmentVariable("WAYLAND_DISPLAY"),
                          qEnvironmentVariable("XDG_SESSION_TYPE"))),
      toggle_(QApplication::doubleClickInterval())
{
    logWindows_ = new LogWindows(monitor, store, this);
}

void MenuBar::setBus(PM2Bus *bus)
{
    logWindows_->setBus(bus);
}

void MenuBar::openLogWindow(const QString &appName)
{
    if (popup_) // the log is read in its own window; the popup would only cover it
        hidePopup();
    logWindows_->openLogWindow(appName);
}

MenuBar::~MenuBar()
{
    delete popup_;
    delete settingsWindow_;
    delete menu_;
}

void MenuBar::start()
{
    dockWhenATrayAppears();

    // A tool window stays out of task bars on X11 (XWayland included), and tiling compositors
    // float it, as they float every window of a fixed size.
    popup_ = new PopupWindow(kind_ == WindowKind::popup
                                 ? Qt::Popup | Qt::FramelessWindowHint
                                 : Qt::Tool | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
    popup_->setObjectName(QStringLiteral("popup"));
    popup_->setWindowTitle(texts::title);
    auto *layout = new QVBoxLayout(popup_);
    layout->setContentsMargins(0, 0, 0, 0);
    // The window is always the panel's natural size, smaller as well as larger.
    layout->setSizeConstraint(QLayout::SetFixedSize);
    QPointer<MenuBar> self(this);
    PanelView::Options options;
    options.onSettings = [self] {
        if (self)
            self->openSettings();
    };
    options.onQuit = [] { QCoreApplication::exit(0); };
    options.onLogs = [self](const QString &name) {
        if (self)
            self->openLogWindow(name);
    };
    options.framed = kind_ == WindowKind::popup; // a window has the compositor's frame
    options.titled = kind_ == WindowKind::popup; // and its title bar names the panel
    if (kind_ == WindowKind::window) {
        // The compositor adds a title bar over the panel: the panel leaves room for it.
        options.screenHeight = [self]() -> std::optional<double> {
            const std::optional<double> screen = PanelView::availableScreenHeight();
            if (!screen || !self)
                return screen;
            return *screen - decorationRoom(self->popup_);
        };
    }
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
    if (QGuiApplication::platformName() == u"offscreen")
        return; // no display at all: no tray will ever appear
    if (TrayHost::present()) {
        makeIcon();
        return;
    }
    // No tray yet (a session still starting, a panel restarting): the monitor works all the
    // same, and the icon is made once a tray is there. Made earlier, it would be fixed to the
    // kind of tray there was then (none), and never show in a D-Bus tray that comes later.
    trayHost_ = new TrayHost(this);
    connect(trayHost_, &TrayHost::appeared, this, [this] {
        trayHost_->deleteLater();
        trayHost_ = nullptr;
        makeIcon();
    });
    trayHost_->watch();
}

void MenuBar::makeIcon()
{
    tray_ =
        new QSystemTrayIcon(trayIconFor(barLooksDark(QApplication::palette(),
                                                     qEnvironmentVariable("XDG_CURRENT_DESKTOP"))),
                            this);
    tray_->setToolTip(texts::title);
    // Desktops that open the menu on a left click still reach the panel and the settings.
    menu_ = new QMenu;
    menu_->addAction(texts::title, this, &MenuBar::togglePanel);
    menu_->addAction(texts::settings, this, &MenuBar::openSettings);
    menu_->addAction(texts::quit, this, [] { QCoreApplication::exit(0); });
    tray_->setContextMenu(menu_);
    // Some trays deliver only double clicks; others a click and then a double click, or one
    // call per press of a double click: the toggle tells them apart.
    connect(tray_, &QSystemTrayIcon::activated, this,
            [this](QSystemTrayIcon::ActivationReason why) {
                if (why == QSystemTrayIcon::Trigger || why == QSystemTrayIcon::DoubleClick)
                    iconActivated();
            });
    tray_->show();
}

void MenuBar::togglePanel()
{
    if (popup_->isVisible()) {
        hidePopup();
        return;
    }
    toggle_.opened(nowMs());
    monitor_.refresh();
    showPopup();
}

void MenuBar::iconActivated()
{
    switch (toggle_.activated(nowMs(), popup_->isVisible())) {
    case PanelToggle::Step::open:
        monitor_.refresh();
        showPopup();
        break;
    case PanelToggle::Step::close:
        hidePopup();
        break;
    case PanelToggle::Step::none:
        break;
    }
}

void MenuBar::showPopup()
{
    openedAtPointer_ = QCursor::pos();
    resizePopover();
    popup_->show();
    popup_->raise();
    popup_->activateWindow();
    panel_->panelShown();
    QPointer<MenuBar> self(this);
    QTimer::singleShot(secondResizeMs, Qt::PreciseTimer, this, [self] {
        if (self)
            self->resizePopover();
    });
}

void MenuBar::hidePopup()
{
    hidingOurselves_ = true;
    popup_->hide();
    hidingOurselves_ = false;
}

void MenuBar::hiddenFromOutside(PanelToggle::Press press)
{
    // The second press of a double click on the icon leaves the panel open.
    if (toggle_.hiddenFromOutside(nowMs(), press))
        QTimer::singleShot(0, this, &MenuBar::showPopup);
}

void MenuBar::resizePopover()
{
    panel_->layout()->activate();
    const QSize size = panel_->sizeHint();
    if (size.width() <= 0 || size.height() <= 0)
        return;
    // The panel keeps itself within the screen's height (its list scrolls); the window takes
    // its size at once, in both directions.
    popup_->layout()->activate();
    if (kind_ == WindowKind::popup)
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
        // Clear of the whole bar, not only of the icon: a bar centres its icons, so it reaches
        // as far past the icon's far edge as the screen's edge lies before its near one. (Where
        // a window manager keeps the bar out of the available area, that area is the limit.)
        const bool lowerHalf = icon->center().y() > available.center().y();
        const int margin = std::clamp(lowerHalf ? available.bottom() - icon->bottom()
                                                : icon->top() - available.top(),
                                      0, icon->height() / 2);
        at = QPoint(icon->center().x() - size.width() / 2,
                    lowerHalf ? icon->top() - margin - size.height() : icon->bottom() + 1 + margin);
    } else {
        // Beside the pointer, not under it: the next click on the icon must reach the icon.
        at = QPoint(pointer.x() - size.width() / 2, pointer.y() + 1);
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
    hidePopup();
    if (!settingsWindow_) {
        auto *window =
            new QWidget(nullptr, Qt::Window | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
        window->setObjectName(QStringLiteral("settingsWindow"));
        window->setWindowTitle(texts::settingsWindowTitle);
        auto *layout = new QVBoxLayout(window);
        layout->setContentsMargins(0, 0, 0, 0);
        // 520 wide and as tall as its content (up to the screen's room), so the padding under
        // the last note is the padding over the first group; a note that appears makes it taller.
        layout->setSizeConstraint(QLayout::SetFixedSize);
        layout->addWidget(new FittingScrollArea(
            new SettingsView(monitor_, store_, login_, SettingsView::chooseWithDialog), window));
        // Made once and centred then; closing it only hides it, with the view's state kept.
        const QRect screen = availableAround(QCursor::pos());
        window->adjustSize();
        window->move(screen.center() - window->rect().center());
        settingsWindow_ = window;
    }
    settingsWindow_->show();
    settingsWindow_->raise();
    settingsWindow_->activateWindow();
}

bool MenuBar::eventFilter(QObject *watched, QEvent *event)
{
    if (watched != popup_)
        return QObject::eventFilter(watched, event);
    switch (event->type()) {
    case QEvent::Show:
        panel_->panelShown();
        break;
    case QEvent::KeyPress:
        // The search passes Escape on only when it is empty.
        if (static_cast<QKeyEvent *>(event)->key() == Qt::Key_Escape) {
            hidePopup();
            return true;
        }
        break;
    case QEvent::WindowDeactivate:
        // A click anywhere else: the window goes, as a popup would.
        if (kind_ == WindowKind::window && popup_->isVisible() && !hidingOurselves_) {
            hidePopup();
            hiddenFromOutside(PanelToggle::Press::unknown);
        }
        break;
    case QEvent::Hide:
        panel_->panelHidden();
        if (kind_ == WindowKind::popup && !hidingOurselves_ &&
            QGuiApplication::mouseButtons() != Qt::NoButton) {
            // A press outside the popup; perhaps on the icon, which hears of it next.
            const QPoint pointer = QCursor::pos();
            const bool hasIcon = tray_ && !tray_->geometry().isEmpty();
            const bool onIcon = hasIcon
                                    ? tray_->geometry().contains(pointer)
                                    : (pointer - openedAtPointer_).manhattanLength() <= nearPointer;
            hiddenFromOutside(onIcon ? PanelToggle::Press::onIcon : PanelToggle::Press::elsewhere);
        }
        // The app sits in the tray all day with the panel closed: its window and the image
        // behind it (a shared-memory buffer of the panel's size) go until the next opening.
        QTimer::singleShot(0, this, [this] {
            if (!popup_->isVisible())
                static_cast<PopupWindow *>(popup_)->release();
            malloc_trim(0);
        });
        break;
    default:
        break;
    }
    return QObject::eventFilter(watched, event);
}

} // namespace nimbrel::ui
