#pragma once

#include <QDBusConnection>
#include <QDBusContext>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QObject>

// The colour scheme of the XDG desktop portal's Settings interface, on a bus connection of its
// own, so that the code under test reaches it through the bus as it would the real portal.
class FakeDesktopPortal : public QObject, protected QDBusContext
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.portal.Settings")
public:
    explicit FakeDesktopPortal(uint colorScheme);
    ~FakeDesktopPortal() override;

    // Takes the portal's name on the session bus; false when the bus refuses.
    bool start();
    // Changes the value Read answers with and announces it with SettingChanged.
    void changeColorScheme(uint colorScheme);
    void emitSettingChanged(const QString &nameSpace, const QString &key, const QVariant &value);
    // While held, Read calls are answered only by releaseReplies(), with the value they would
    // have had when they arrived.
    void holdReplies() { m_holding = true; }
    void releaseReplies();
    int readCount() const { return m_readCount; }

public Q_SLOTS:
    QDBusVariant Read(const QString &nameSpace, const QString &key);

private:
    QDBusConnection m_connection;
    uint m_colorScheme;
    bool m_holding = false;
    int m_readCount = 0;
    QList<QPair<QDBusMessage, uint>> m_heldReplies;
};
