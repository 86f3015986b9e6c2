#pragma once

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <QDBusVirtualObject>
#include <QVariantMap>

// A Spotify MPRIS 2 player on a connection of its own, reached through the bus like a real one.
// Values go out with the D-Bus type of their QVariant (an int as "i"), which is how tests send
// the wrong types real players send. Commands are recorded, not carried out.
class FakeMprisPlayer : public QDBusVirtualObject
{
public:
    static QString spotifyServiceName() { return QStringLiteral("org.mpris.MediaPlayer2.spotify"); }
    inline static const QString path = QStringLiteral("/org/mpris/MediaPlayer2");
    inline static const QString playerInterface = QStringLiteral("org.mpris.MediaPlayer2.Player");

    explicit FakeMprisPlayer(const QDBusConnection &connection) : m_connection(connection) { }
    ~FakeMprisPlayer() override { quit(); }

    bool start()
    {
        return m_connection.registerVirtualObject(path, this)
            && m_connection.registerService(spotifyServiceName());
    }
    // Releases the name as a quitting player does: the calls it holds end with the bus's error.
    void quit()
    {
        m_connection.unregisterService(spotifyServiceName());
        m_connection.unregisterObject(path);
        for (const QDBusMessage &call : std::as_const(m_held))
            m_connection.send(call.createErrorReply(u"org.freedesktop.DBus.Error.NoReply"_qs, {}));
        m_held.clear();
    }

    // A player property, set without announcing it; an invalid value removes it.
    void setPlayerProperty(const QString &name, const QVariant &value)
    {
        if (value.isValid())
            m_properties[name] = value;
        else
            m_properties.remove(name);
    }
    // Metadata as a well-behaved player sends it.
    static QVariantMap metadata(const QString &title, const QString &artist, const QString &album,
                                double seconds, const QString &trackID = QStringLiteral("1"))
    {
        return { { u"mpris:trackid"_qs,
                   QVariant::fromValue(QDBusObjectPath(u"/com/spotify/track/"_qs + trackID)) },
                 { u"mpris:length"_qs, qlonglong(seconds * 1e6) },
                 { u"xesam:title"_qs, title },
                 { u"xesam:artist"_qs, QStringList { artist } },
                 { u"xesam:album"_qs, album } };
    }
    void changePlayerProperties(const QVariantMap &changed)
    {
        m_properties.insert(changed);
        emitPropertiesChanged(changed);
    }
    // Announces values without storing them, exactly as given.
    void emitPropertiesChanged(const QVariantMap &changed, const QStringList &invalidated = {})
    {
        m_connection.send(QDBusMessage::createSignal(path, u"org.freedesktop.DBus.Properties"_qs,
                                                     u"PropertiesChanged"_qs)
                          << playerInterface << changed << invalidated);
    }

    void setAnswering(bool answering) { m_answering = answering; }
    // The calls received, as member and arguments with variants unwrapped; only those of the
    // members given, and for Get only those about the property given.
    QList<QVariantList> calls(const QStringList &members, const QString &property = {}) const
    {
        QList<QVariantList> found;
        for (const QVariantList &call : m_calls) {
            if (members.contains(call.constFirst().toString())
                && (property.isEmpty() || call.value(2) == property))
                found.append(call);
        }
        return found;
    }
    int callCount(const QString &member, const QString &property = {}) const
    {
        return int(calls({ member }, property).size());
    }
    void clearCalls() { m_calls.clear(); }

protected:
    QString introspect(const QString &) const override { return {}; }
    bool handleMessage(const QDBusMessage &message, const QDBusConnection &) override
    {
        if (message.type() != QDBusMessage::MethodCallMessage)
            return false;
        QVariantList call { message.member() };
        for (const QVariant &argument : message.arguments())
            call.append(unwrapped(argument));
        m_calls.append(call);
        // Reads are answered from the properties; everything else is only acknowledged.
        const QString name = call.value(2).toString();
        if (!m_answering)
            m_held.append(message);
        else if (message.member() == u"GetAll")
            m_connection.send(message.createReply(QVariant(m_properties)));
        else if (message.member() == u"Get" && m_properties.contains(name))
            m_connection.send(
                message.createReply(QVariant::fromValue(QDBusVariant(m_properties[name]))));
        else
            m_connection.send(message.createReply());
        return true;
    }

private:
    static QVariant unwrapped(QVariant value)
    {
        while (value.metaType() == QMetaType::fromType<QDBusVariant>())
            value = qvariant_cast<QDBusVariant>(value).variant();
        return value;
    }

    QDBusConnection m_connection;
    QVariantMap m_properties { { u"PlaybackStatus"_qs, u"Stopped"_qs },
                               { u"LoopStatus"_qs, u"None"_qs },
                               { u"Shuffle"_qs, false } };
    QList<QVariantList> m_calls;
    QList<QDBusMessage> m_held;
    bool m_answering = true;
};
