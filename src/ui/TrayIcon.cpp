#include "ui/TrayIcon.h"

#include "core/Log.h"
#include "ui/Icons.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusServiceWatcher>
#include <QGuiApplication>
#include <QIcon>
#include <QPalette>
#include <QSystemTrayIcon>

using namespace Qt::StringLiterals;

namespace {
const QString kWatcherService = u"org.kde.StatusNotifierWatcher"_s;

// The monochrome mark in the colour of the desktop's text, at the sizes panels ask for.
QIcon trayIcon()
{
    const QColor color = QGuiApplication::palette().color(QPalette::WindowText);
    QIcon icon;
    for (const int size : { 16, 22, 24, 32, 48 }) {
        for (const qreal ratio : { 1.0, 2.0 })
            icon.addPixmap(Icons::pixmap(u"vesper"_s, color, size, ratio));
    }
    return icon;
}
} // namespace

TrayIcon::TrayIcon(QMenu &menu, bool legacyTrayPresent, QObject *parent)
    : QObject(parent), m_menu(menu)
{
    const QDBusConnection bus = QDBusConnection::sessionBus();
    const bool watcherPresent = bus.isConnected() && bus.interface()
        && bus.interface()->isServiceRegistered(kWatcherService).value();
    if (watcherPresent || legacyTrayPresent) {
        create();
        return;
    }
    plainLog(u"Vesper: no system tray; the panel's context menu and the shortcuts reach "
             "everything"_s);
    if (!bus.isConnected())
        return;
    m_watcher = new QDBusServiceWatcher(kWatcherService, bus,
                                        QDBusServiceWatcher::WatchForRegistration, this);
    connect(m_watcher, &QDBusServiceWatcher::serviceRegistered, this, &TrayIcon::create);
}

TrayIcon::~TrayIcon() = default;

void TrayIcon::create()
{
    if (m_icon)
        return;
    if (m_watcher) {
        m_watcher->deleteLater();
        m_watcher = nullptr;
    }
    m_icon = new QSystemTrayIcon(trayIcon(), this);
    m_icon->setToolTip(u"Vesper"_s);
    m_icon->setContextMenu(&m_menu);
    connect(m_icon, &QSystemTrayIcon::activated, this,
            [this](QSystemTrayIcon::ActivationReason reason) {
                if (reason == QSystemTrayIcon::Trigger)
                    Q_EMIT activated();
            });
    m_icon->show();
}
