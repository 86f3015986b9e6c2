#include "FakeMprisPlayer.h"

#include <QDBusObjectPath>
#include <QDBusVariant>

using namespace Qt::StringLiterals;

namespace {
const QString kPath = u"/org/mpris/MediaPlayer2"_s;
const QString kPlayerInterface = u"org.mpris.MediaPlayer2.Player"_s;

QVariant unwrapped(QVariant value)
{
    while (value.metaType() == QMetaType::fromType<QDBusVariant>())
        value = qvariant_cast<QDBusVariant>(value).variant();
    return value;
}
} // namespace

FakeMprisPlayer::FakeMprisPlayer(const QDBusConnection &connection, QObject *parent)
    : QDBusVirtualObject(parent), m_connection(connection)
{
    m_properties = {
        { u"PlaybackStatus"_s, u"Stopped"_s },
        { u"LoopStatus"_s, u"None"_s },
        { u"Shuffle"_s, false },
        { u"Metadata"_s, QVariantMap() },
        { u"Position"_s, qlonglong(0) },
    };
}

FakeMprisPlayer::~FakeMprisPlayer() { quit(); }

bool FakeMprisPlayer::start()
{
    m_started = m_connection.isConnected() && m_connection.registerVirtualObject(kPath, this)
        && m_connection.registerService(spotifyServiceName());
    return m_started;
}

void FakeMprisPlayer::quit()
{
    if (!m_started)
        return;
    m_started = false;
    m_connection.unregisterService(spotifyServiceName());
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
    QDBusMessage signal = QDBusMessage::createSignal(kPath, u"org.freedesktop.DBus.Properties"_s,
                                                     u"PropertiesChanged"_s);
    signal << interface << changed << invalidated;
    m_connection.send(signal);
}

void FakeMprisPlayer::emitSeeked(qint64 microseconds)
{
    QDBusMessage signal = QDBusMessage::createSignal(kPath, kPlayerInterface, u"Seeked"_s);
    signal << qlonglong(microseconds);
    m_connection.send(signal);
}

QList<QVariantList> FakeMprisPlayer::calls(const QStringList &members) const
{
    QList<QVariantList> found;
    for (const QVariantList &call : m_calls) {
        if (members.isEmpty() || members.contains(call.constFirst().toString()))
            found.append(call);
    }
    return found;
}

int FakeMprisPlayer::callCount(const QString &member, const QString &property) const
{
    return int(std::count_if(m_calls.cbegin(), m_calls.cend(), [&](const QVariantList &call) {
        return call.constFirst() == member && (property.isEmpty() || call.value(2) == property);
    }));
}

bool FakeMprisPlayer::handleMessage(const QDBusMessage &message, const QDBusConnection &)
{
    if (message.type() != QDBusMessage::MethodCallMessage)
        return false;
    QVariantList call { message.member() };
    for (const QVariant &argument : message.arguments())
        call.append(unwrapped(argument));
    m_calls.append(call);
    if (m_answering)
        m_connection.send(answer(message));
    else
        m_held.append(message);
    return true;
}

QDBusMessage FakeMprisPlayer::answer(const QDBusMessage &message)
{
    const QString member = message.member();
    const QVariantList arguments = message.arguments();
    const QString name = arguments.value(1).toString();
    if (member == "GetAll"_L1)
        return message.createReply(QVariant(m_properties));
    if (member == "Get"_L1 && m_properties.contains(name))
        return message.createReply(QVariant::fromValue(QDBusVariant(m_properties.value(name))));
    if (member == "Set"_L1 && (name == "Shuffle"_L1 || name == "LoopStatus"_L1)) {
        changePlayerProperties({ { name, unwrapped(arguments.value(2)) } });
        return message.createReply();
    }
    if (member == "PlayPause"_L1) {
        const bool playing = m_properties.value(u"PlaybackStatus"_s).toString() == "Playing"_L1;
        changePlayerProperties({ { u"PlaybackStatus"_s, playing ? u"Paused"_s : u"Playing"_s } });
        return message.createReply();
    }
    if (QStringList { u"Next"_s, u"Previous"_s, u"Seek"_s, u"SetPosition"_s }.contains(member))
        return message.createReply();
    return message.createErrorReply(QDBusError::InvalidArgs, member);
}
