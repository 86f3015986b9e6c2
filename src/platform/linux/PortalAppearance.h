#pragma once

#include "platform/DesktopAppearance.h"

#include <QDBusConnection>

class QDBusPendingCallWatcher;
class QDBusVariant;
class PortalSettingsProxy;

// The desktop's colour-scheme preference as the XDG desktop portal publishes it. The portal is
// asked without waiting for it and followed as it changes; until it answers, and when there is
// no portal, the preference is light.
class PortalAppearance : public DesktopAppearance
{
    Q_OBJECT
public:
    explicit PortalAppearance(const QDBusConnection &bus = QDBusConnection::sessionBus(),
                              QObject *parent = nullptr);

    bool prefersDark() const override;

    // Whether a value of org.freedesktop.appearance color-scheme asks for dark: 1 does; 0 (no
    // preference), 2 (light), unknown values and anything that is not a number do not.
    static bool colorSchemeIsDark(const QVariant &value);

private:
    void read();
    void readFinished(QDBusPendingCallWatcher *watcher);
    void settingChanged(const QString &nameSpace, const QString &key, const QDBusVariant &value);
    void dropPendingRead();
    void apply(bool dark);

    PortalSettingsProxy *m_proxy = nullptr;
    QDBusPendingCallWatcher *m_pendingRead = nullptr;
    bool m_prefersDark = false;
};
