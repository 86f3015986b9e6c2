#pragma once

#include <QObject>

class QDBusServiceWatcher;
class QMenu;
class QSystemTrayIcon;

// Vesper's icon in the panel's tray, with the tray menu. Qt decides once per run, when the first
// tray icon is made or asked about, between a StatusNotifierItem and the older XEmbed tray; so
// when Vesper starts before the desktop's panel it asks Qt nothing and makes the icon only once a
// StatusNotifierWatcher is on the bus.
class TrayIcon : public QObject
{
    Q_OBJECT
public:
    // legacyTrayPresent: an XEmbed tray is there to take the icon when no watcher is.
    TrayIcon(QMenu &menu, bool legacyTrayPresent, QObject *parent = nullptr);
    ~TrayIcon() override;

    bool isShown() const { return m_icon != nullptr; }

Q_SIGNALS:
    // A click on the icon itself, not on its menu.
    void activated();

private:
    void create();

    QMenu &m_menu;
    QSystemTrayIcon *m_icon = nullptr;
    QDBusServiceWatcher *m_watcher = nullptr;
};
