#include "FakeMprisPlayer.h"

#include <QDBusObjectPath>
#include <QDBusVariant>
#include <QFile>
#include <QRegularExpression>

using namespace Qt::StringLiterals;

namespace {
const QString kPath = u"/org/mpris/MediaPlayer2"_s;
const QString kRootInterface = u"org.mpris.MediaPlayer2"_s;
const QString kPlayerInterface = u"org.mpris.MediaPlayer2.Player"_s;
const QString kPropertiesInterface = u"org.freedesktop.DBus.Properties"_s;
const QString kIntrospectableInterface = u"org.freedesktop.DBus.Introspectable"_s;

QVariant unwrapped(QVariant value)
{
    while (value.metaType() == QMetaType::fromType<QDBusVariant>())
        value = qvariant_cast<QDBusVariant>(value).variant();
    return value;
}

// The <interface> elements of an introspection file bundled with the test support.
QString interfacesOf(const QString &resource)
{
    QFile file(resource);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    static const QRegularExpression interfaces(u"<interface .*</interface>"_s,
                                               QRegularExpression::DotMatchesEverythingOption);
    return interfaces.match(QString::fromUtf8(file.readAll())).captured();
}
} // namespace

FakeMprisPlayer::FakeMprisPlayer(const QDBusConnection &connection, const QString &serviceName,
                                 QObject *parent)
    : QDBusVirtualObject(parent), m_connection(connection), m_serviceName(serviceName)
{
    m_properties = {
        { u"PlaybackStatus"_s, u"Stopped"_s },
        { u"LoopStatus"_s, u"None"_s },
        { u"Rate"_s, 1.0 },
        { u"Shuffle"_s, false },
        { u"Metadata"_s, QVariantMap() },
        { u"Volume"_s, 1.0 },
        { u"Position"_s, qlonglong(0) },
        { u"MinimumRate"_s, 1.0 },
        { u"MaximumRate"_s, 1.0 },
        { u"CanGoNext"_s, true },
        { u"CanGoPrevious"_s, true },
        { u"CanPlay"_s, true },
        { u"CanPause"_s, true },
        { u"CanSeek"_s, true },
        { u"CanControl"_s, true },
    };
    m_rootProperties = {
        { u"CanQuit"_s, false },
        { u"CanRaise"_s, false },
        { u"HasTrackList"_s, false },
        { u"Identity"_s, u"Fake MPRIS player"_s },
        { u"SupportedUriSchemes"_s, QStringList() },
        { u"SupportedMimeTypes"_s, QStringList() },
    };
}

FakeMprisPlayer::~FakeMprisPlayer() { quit(); }

bool FakeMprisPlayer::start()
{
    m_started = m_connection.isConnected() && m_connection.registerVirtualObject(kPath, this)
        && m_connection.registerService(m_serviceName);
    return m_started;
}

void FakeMprisPlayer::quit()
{
    if (!m_started)
        return;
    m_started = false;
    m_connection.unregisterService(m_serviceName);
    m_connection.unregisterObject(kPath);
    for (const QDBusMessage &call : std::as_const(m_held)) {
        m_connection.send(call.createErrorReply(
            u"org.freedesktop.DBus.Error.NoReply"_s,
            u"Message recipient disconnected from message bus without replying"_s));
    }
    m_held.clear();
}

void FakeMprisPlayer::setPlayerProperty(const QString &name, const QVariant &value)
{
    m_properties.insert(name, value);
}

void FakeMprisPlayer::removePlayerProperty(const QString &name) { m_properties.remove(name); }

QVariantMap FakeMprisPlayer::metadata(const QString &title, const QString &artist,
                                      const QString &album, double seconds, const QString &trackID)
{
    return {
        { u"mpris:trackid"_s,
          QVariant::fromValue(QDBusObjectPath(u"/com/spotify/track/"_s + trackID)) },
        { u"mpris:length"_s, qlonglong(seconds * 1e6) },
        { u"xesam:title"_s, title },
        { u"xesam:artist"_s, QStringList { artist } },
        { u"xesam:album"_s, album },
    };
}

void FakeMprisPlayer::changePlayerProperties(const QVariantMap &changed)
{
    for (auto it = changed.cbegin(); it != changed.cend(); ++it)
        m_properties.insert(it.key(), it.value());
    emitPropertiesChanged(changed);
}

void FakeMprisPlayer::emitPropertiesChanged(const QVariantMap &changed,
                                            const QStringList &invalidated,
                                            const QString &interface)
{
    QDBusMessage signal
        = QDBusMessage::createSignal(kPath, kPropertiesInterface, u"PropertiesChanged"_s);
    signal << interface << changed << invalidated;
    m_connection.send(signal);
}

void FakeMprisPlayer::emitSeeked(qint64 microseconds)
{
    QDBusMessage signal = QDBusMessage::createSignal(kPath, kPlayerInterface, u"Seeked"_s);
    signal << qlonglong(microseconds);
    m_connection.send(signal);
}

int FakeMprisPlayer::callCount(const QString &member, const QString &property) const
{
    return int(std::count_if(m_calls.cbegin(), m_calls.cend(), [&](const Call &call) {
        return call.member == member
            && (property.isEmpty()
                || (call.arguments.size() > 1 && call.arguments.at(1).toString() == property));
    }));
}

QString FakeMprisPlayer::introspect(const QString &) const
{
    return u"  <interface name=\"org.freedesktop.DBus.Introspectable\">\n"
           "    <method name=\"Introspect\"><arg type=\"s\" direction=\"out\"/></method>\n"
           "  </interface>\n  "_s
        + interfacesOf(u":/mpris/org.freedesktop.DBus.Properties.xml"_s) + u"\n  "_s
        + interfacesOf(u":/mpris/org.mpris.MediaPlayer2.xml"_s) + u"\n  "_s
        + interfacesOf(u":/mpris/org.mpris.MediaPlayer2.Player.xml"_s) + u'\n';
}

bool FakeMprisPlayer::handleMessage(const QDBusMessage &message, const QDBusConnection &)
{
    if (message.type() != QDBusMessage::MethodCallMessage)
        return false;
    // Introspection is not a call a player gets from Vesper: answered, not recorded.
    if (message.interface() == kIntrospectableInterface && message.member() == "Introspect"_L1) {
        const QString xml
            = u"<!DOCTYPE node PUBLIC \"-//freedesktop//DTD D-BUS Object Introspection 1.0//EN\"\n"
              "\"http://www.freedesktop.org/standards/dbus/1.0/introspect.dtd\">\n<node>\n"_s
            + introspect(message.path()) + u"</node>\n"_s;
        m_connection.send(message.createReply(xml));
        return true;
    }
    Call call { message.interface(), message.member(), {} };
    for (const QVariant &argument : message.arguments())
        call.arguments.append(unwrapped(argument));
    m_calls.append(call);
    Q_EMIT called(call.member, call.arguments);

    if (!m_answering) {
        m_held.append(message);
        return true;
    }
    if (call.interface == kPropertiesInterface)
        handleProperties(message);
    else if (call.interface == kPlayerInterface)
        handlePlayer(message);
    else if (call.interface == kRootInterface
             && (call.member == "Raise"_L1 || call.member == "Quit"_L1))
        m_connection.send(message.createReply());
    else
        m_connection.send(message.createErrorReply(QDBusError::UnknownMethod, call.member));
    return true;
}

void FakeMprisPlayer::handleProperties(const QDBusMessage &message)
{
    const QVariantList arguments = message.arguments();
    const QString interface = arguments.value(0).toString();
    const QString name = arguments.value(1).toString();
    const QVariantMap *properties = interface == kPlayerInterface ? &m_properties
        : interface == kRootInterface                             ? &m_rootProperties
                                                                  : nullptr;
    if (!properties) {
        m_connection.send(message.createErrorReply(QDBusError::UnknownInterface, interface));
        return;
    }
    if (message.member() == "GetAll"_L1) {
        m_connection.send(message.createReply(QVariant(*properties)));
    } else if (message.member() == "Get"_L1 && properties->contains(name)) {
        m_connection.send(
            message.createReply(QVariant::fromValue(QDBusVariant(properties->value(name)))));
    } else if (message.member() == "Get"_L1) {
        m_connection.send(message.createErrorReply(QDBusError::InvalidArgs, name));
    } else if (message.member() == "Set"_L1 && interface == kPlayerInterface
               && (name == "Shuffle"_L1 || name == "LoopStatus"_L1)) {
        m_connection.send(message.createReply());
        changePlayerProperties({ { name, unwrapped(arguments.value(2)) } });
    } else if (message.member() == "Set"_L1) {
        m_connection.send(
            message.createErrorReply(u"org.freedesktop.DBus.Error.PropertyReadOnly"_s, name));
    } else {
        m_connection.send(message.createErrorReply(QDBusError::UnknownMethod, message.member()));
    }
}

void FakeMprisPlayer::handlePlayer(const QDBusMessage &message)
{
    const QString member = message.member();
    const QVariantList arguments = message.arguments();
    static const QStringList known { u"Next"_s,      u"Previous"_s,    u"Pause"_s,
                                     u"PlayPause"_s, u"Stop"_s,        u"Play"_s,
                                     u"Seek"_s,      u"SetPosition"_s, u"OpenUri"_s };
    if (!known.contains(member)) {
        m_connection.send(message.createErrorReply(QDBusError::UnknownMethod, member));
        return;
    }
    m_connection.send(message.createReply());

    if (member == "PlayPause"_L1) {
        togglePlayback();
    } else if (member == "Play"_L1 || member == "Pause"_L1 || member == "Stop"_L1) {
        const QString status = member == "Play"_L1 ? u"Playing"_s
            : member == "Pause"_L1                 ? u"Paused"_s
                                                   : u"Stopped"_s;
        changePlayerProperties({ { u"PlaybackStatus"_s, status } });
    } else if (member == "Seek"_L1) {
        const qlonglong position = std::max<qlonglong>(
            0, m_properties.value(u"Position"_s).toLongLong() + arguments.value(0).toLongLong());
        m_properties.insert(u"Position"_s, position);
        emitSeeked(position);
    } else if (member == "SetPosition"_L1) {
        const QVariantMap metadata = m_properties.value(u"Metadata"_s).toMap();
        const QVariant trackID = metadata.value(u"mpris:trackid"_s);
        const QString current = trackID.metaType() == QMetaType::fromType<QDBusObjectPath>()
            ? qvariant_cast<QDBusObjectPath>(trackID).path()
            : trackID.toString();
        // As MPRIS asks of players, a position for a track that is no longer current is ignored.
        if (qvariant_cast<QDBusObjectPath>(arguments.value(0)).path() == current) {
            m_properties.insert(u"Position"_s, arguments.value(1).toLongLong());
            emitSeeked(arguments.value(1).toLongLong());
        }
    }
}

void FakeMprisPlayer::togglePlayback()
{
    const bool playing = m_properties.value(u"PlaybackStatus"_s).toString() == "Playing"_L1;
    changePlayerProperties({ { u"PlaybackStatus"_s, playing ? u"Paused"_s : u"Playing"_s } });
}
