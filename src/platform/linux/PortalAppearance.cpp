#include "PortalAppearance.h"

#include <QDBusAbstractInterface>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusServiceWatcher>
#include <QDBusVariant>

using namespace Qt::StringLiterals;

namespace {
constexpr auto kService = "org.freedesktop.portal.Desktop"_L1;
constexpr auto kPath = "/org/freedesktop/portal/desktop"_L1;
constexpr char kInterface[] = "org.freedesktop.portal.Settings";
constexpr auto kNamespace = "org.freedesktop.appearance"_L1;
constexpr auto kKey = "color-scheme"_L1;
constexpr int kDarkColorScheme = 1;
// A portal that is still starting may take a moment; one that takes longer is not waited for.
constexpr int kReadTimeoutMs = 3000;

QVariant unwrapped(QVariant value)
{
    // Read() wraps the value in a second variant; some portals send it wrapped only once.
    while (value.metaType() == QMetaType::fromType<QDBusVariant>())
        value = qvariant_cast<QDBusVariant>(value).variant();
    return value;
}
} // namespace

// The Settings interface of the portal. Declaring SettingChanged here lets QtDBus relay the bus
// signal to a Qt signal, so it connects like any other.
class PortalSettingsProxy : public QDBusAbstractInterface
{
    Q_OBJECT
public:
    PortalSettingsProxy(const QDBusConnection &bus, QObject *parent)
        : QDBusAbstractInterface(kService, kPath, kInterface, bus, parent)
    {
        setTimeout(kReadTimeoutMs);
    }

Q_SIGNALS:
    void SettingChanged(const QString &nameSpace, const QString &key, const QDBusVariant &value);
};

PortalAppearance::PortalAppearance(const QDBusConnection &bus, QObject *parent)
    : DesktopAppearance(parent), m_proxy(new PortalSettingsProxy(bus, this))
{
    connect(m_proxy, &PortalSettingsProxy::SettingChanged, this, &PortalAppearance::settingChanged);
    // A portal that starts (or restarts) after Vesper is asked again.
    auto *watcher
        = new QDBusServiceWatcher(kService, bus, QDBusServiceWatcher::WatchForRegistration, this);
    connect(watcher, &QDBusServiceWatcher::serviceRegistered, this, &PortalAppearance::read);
    read();
}

bool PortalAppearance::prefersDark() const { return m_prefersDark; }

bool PortalAppearance::colorSchemeIsDark(const QVariant &value)
{
    const QVariant scheme = unwrapped(value);
    switch (scheme.metaType().id()) {
    case QMetaType::UInt:
    case QMetaType::Int:
    case QMetaType::UShort:
    case QMetaType::Short:
    case QMetaType::UChar:
    case QMetaType::ULongLong:
    case QMetaType::LongLong:
        return scheme.toLongLong() == kDarkColorScheme;
    default:
        return false;
    }
}

void PortalAppearance::read()
{
    dropPendingRead();
    m_pendingRead = new QDBusPendingCallWatcher(
        m_proxy->asyncCall(u"Read"_s, QString(kNamespace), QString(kKey)), this);
    connect(m_pendingRead, &QDBusPendingCallWatcher::finished, this,
            &PortalAppearance::readFinished);
}

void PortalAppearance::readFinished(QDBusPendingCallWatcher *watcher)
{
    watcher->deleteLater();
    if (watcher != m_pendingRead)
        return;
    m_pendingRead = nullptr;
    const QDBusMessage reply = watcher->reply();
    // No portal, no such setting or no answer in time: the preference stays as it was.
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
        return;
    apply(colorSchemeIsDark(reply.arguments().constFirst()));
}

void PortalAppearance::settingChanged(const QString &nameSpace, const QString &key,
                                      const QDBusVariant &value)
{
    if (nameSpace != kNamespace || key != kKey)
        return;
    // The change is newer than any answer still on its way.
    dropPendingRead();
    apply(colorSchemeIsDark(value.variant()));
}

void PortalAppearance::dropPendingRead()
{
    // readFinished() ignores a watcher that is no longer the pending one.
    if (m_pendingRead)
        m_pendingRead->deleteLater();
    m_pendingRead = nullptr;
}

void PortalAppearance::apply(bool dark)
{
    if (dark == m_prefersDark)
        return;
    m_prefersDark = dark;
    Q_EMIT preferenceChanged();
}

#include "PortalAppearance.moc"
