#include "platform/Platform.h"

#include "core/Log.h"
#include "platform/linux/DesktopEntryWorkspace.h"
#include "platform/linux/PortalAppearance.h"
#include "platform/linux/SecretFileBackend.h"
#include "platform/linux/SecretServiceBackend.h"
#include "platform/linux/XdgAutostartLoginItem.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QPointer>
#include <QStringList>
#include <QVariantList>

using namespace Qt::StringLiterals;

// ---------------------------------------------------------------------------------------------
// Secret store

namespace {
// Only the bus daemon is asked here, and it answers at once; the Secret Service itself may be
// slow, which its backend bounds call by call.
constexpr int kBusDaemonTimeoutMs = 1000;

QDBusMessage askBusDaemon(const QDBusConnection &bus, const QString &method,
                          const QVariantList &arguments)
{
    QDBusMessage message = QDBusMessage::createMethodCall(
        u"org.freedesktop.DBus"_s, u"/org/freedesktop/DBus"_s, u"org.freedesktop.DBus"_s, method);
    message.setArguments(arguments);
    return bus.call(message, QDBus::Block, kBusDaemonTimeoutMs);
}

// True when the session bus has the Secret Service running or can start it.
bool secretServiceOnSessionBus()
{
    const QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return false;
    const QString name = u"org.freedesktop.secrets"_s;
    const QDBusMessage owner = askBusDaemon(bus, u"NameHasOwner"_s, { name });
    if (owner.type() == QDBusMessage::ReplyMessage && owner.arguments().value(0).toBool())
        return true;
    const QDBusMessage activatable = askBusDaemon(bus, u"ListActivatableNames"_s, {});
    return activatable.type() == QDBusMessage::ReplyMessage
        && activatable.arguments().value(0).toStringList().contains(name);
}
} // namespace

std::unique_ptr<SecretBackend> Platform::createSecretBackend()
{
    if (secretServiceOnSessionBus())
        return std::make_unique<SecretServiceBackend>();

    auto backend = std::make_unique<SecretFileBackend>();
    plainLog(u"Vesper: no Secret Service on the session bus; secrets are kept in %1, readable "
             "only by you"_s.arg(backend->filePath()));
    return backend;
}

// ---------------------------------------------------------------------------------------------
// Login item and desktop appearance

std::unique_ptr<LoginItem> Platform::createLoginItem()
{
    return std::make_unique<XdgAutostartLoginItem>();
}

std::unique_ptr<DesktopAppearance> Platform::createDesktopAppearance()
{
    return std::make_unique<PortalAppearance>(QDBusConnection::sessionBus());
}

std::unique_ptr<Workspace> Platform::createWorkspace()
{
    return std::make_unique<DesktopEntryWorkspace>();
}
