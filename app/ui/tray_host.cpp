#include "app/ui/tray_host.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusServiceWatcher>
#include <QDBusVariant>
#include <QGuiApplication>

#include <xcb/xcb.h>

#include <cstdlib>
#include <memory>

namespace nimbrel::ui {

namespace {

const QString watcherService = QStringLiteral("org.kde.StatusNotifierWatcher");
// A watcher appears a moment before its host registers with it, and an XEmbed tray announces
// itself on the X server only: look every two seconds as well.
constexpr int pollMs = 2000;

// What Qt itself asks before it makes a D-Bus tray icon.
bool statusNotifierHostRegistered()
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected() || !bus.interface()->isServiceRegistered(watcherService))
        return false;
    QDBusMessage get = QDBusMessage::createMethodCall(
        watcherService, QStringLiteral("/StatusNotifierWatcher"),
        QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"));
    get << watcherService << QStringLiteral("IsStatusNotifierHostRegistered");
    const QDBusMessage reply = bus.call(get, QDBus::Block, 1000);
    return reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty() &&
           qvariant_cast<QDBusVariant>(reply.arguments().constFirst()).variant().toBool();
}

// The owner of the tray selection of our screen, as Qt's XEmbed icon looks for it.
bool xembedTrayPresent()
{
    const auto *x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
    if (!x11 || !x11->connection())
        return false;
    xcb_connection_t *connection = x11->connection();
    const QByteArray display = qgetenv("DISPLAY");
    const qsizetype dot = display.lastIndexOf('.');
    const int screen = dot > display.lastIndexOf(':') ? display.mid(dot + 1).toInt() : 0;
    const QByteArray name = "_NET_SYSTEM_TRAY_S" + QByteArray::number(screen);
    const std::unique_ptr<xcb_intern_atom_reply_t, decltype(&std::free)> atom(
        xcb_intern_atom_reply(connection,
                              xcb_intern_atom(connection, 1, uint16_t(name.size()), name.data()),
                              nullptr),
        &std::free);
    if (!atom || atom->atom == XCB_ATOM_NONE)
        return false; // nobody ever named the selection: no tray
    const std::unique_ptr<xcb_get_selection_owner_reply_t, decltype(&std::free)> owner(
        xcb_get_selection_owner_reply(connection, xcb_get_selection_owner(connection, atom->atom),
                                      nullptr),
        &std::free);
    return owner && owner->owner != XCB_NONE;
}

} // namespace

TrayHost::TrayHost(QObject *parent) : QObject(parent)
{
    poll_.setInterval(pollMs);
    connect(&poll_, &QTimer::timeout, this, &TrayHost::check);
}

bool TrayHost::present()
{
    return statusNotifierHostRegistered() || xembedTrayPresent();
}

void TrayHost::watch()
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (bus.isConnected()) {
        watcher_ = new QDBusServiceWatcher(watcherService, bus,
                                           QDBusServiceWatcher::WatchForRegistration, this);
        connect(watcher_, &QDBusServiceWatcher::serviceRegistered, this, &TrayHost::check);
        // Any watcher that comes: its host registering is the moment to look again.
        bus.connect(QString(), QStringLiteral("/StatusNotifierWatcher"), watcherService,
                    QStringLiteral("StatusNotifierHostRegistered"), this, SLOT(check()));
    }
    poll_.start();
}

void TrayHost::check()
{
    if (!poll_.isActive() || !present())
        return;
    poll_.stop();
    delete watcher_;
    watcher_ = nullptr;
    QDBusConnection::sessionBus().disconnect(
        QString(), QStringLiteral("/StatusNotifierWatcher"), watcherService,
        QStringLiteral("StatusNotifierHostRegistered"), this, SLOT(check()));
    emit appeared();
}

} // namespace nimbrel::ui
