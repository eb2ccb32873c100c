// Whether a tray is there to show our icon, and word when one comes. Qt decides once per process,
// when the first tray icon is made, whether a D-Bus tray exists; an icon made before such a tray
// started would never show in it, so the icon is made only once a tray is there.
#pragma once

#include <QObject>
#include <QTimer>

class QDBusServiceWatcher;

namespace nimbrel::ui {

class TrayHost : public QObject
{
    Q_OBJECT

public:
    explicit TrayHost(QObject *parent = nullptr);

    // A StatusNotifier host on the session bus, or on X11 an XEmbed tray.
    static bool present();
    // Watches until a tray is there, then emits `appeared` once.
    void watch();

signals:
    void appeared();

private slots:
    void check();

private:
    QDBusServiceWatcher *watcher_ = nullptr;
    QTimer poll_;
};

} // namespace nimbrel::ui
