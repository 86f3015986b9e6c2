#include "platform/linux/DesktopEntryWorkspace.h"

#include "core/Log.h"
#include "platform/linux/DesktopEntry.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>

using namespace Qt::StringLiterals;

namespace {
constexpr qint64 kMaxEntryBytes = 64 * 1024;

// The desktop ids a player is installed under: its own package's, then its Flatpak's.
QStringList desktopIds(const QString &sourceId)
{
    if (sourceId == u"com.spotify.client"_s)
        return { u"spotify"_s, u"spotify-client"_s, u"com.spotify.Client"_s };
    return {};
}
} // namespace

bool DesktopEntryWorkspace::openPlayer(const QString &sourceId)
{
    for (const QString &id : desktopIds(sourceId)) {
        const QString path
            = QStandardPaths::locate(QStandardPaths::ApplicationsLocation, id + u".desktop"_s);
        QFile file(path);
        if (path.isEmpty() || !file.open(QIODevice::ReadOnly))
            continue;
        const std::optional<DesktopEntry> entry = DesktopEntry::parse(file.read(kMaxEntryBytes));
        if (!entry)
            continue;
        if (entry->dbusActivatable) {
            QDBusMessage activate = QDBusMessage::createMethodCall(
                id, DesktopEntry::objectPath(id), u"org.freedesktop.Application"_s, u"Activate"_s);
            activate << QVariantMap();
            QDBusConnection::sessionBus().asyncCall(activate);
            return true;
        }
        const std::optional<QStringList> arguments = DesktopEntry::execArguments(entry->exec);
        if (!arguments) {
            qCWarning(lcApp).noquote() << "cannot read the Exec line of" << path;
            continue;
        }
        QProcess::startDetached(arguments->first(), arguments->mid(1));
        return true;
    }
    return false;
}
