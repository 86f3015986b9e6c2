#pragma once

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVirtualObject>
#include <QList>
#include <QStringList>
#include <QVariantMap>

// A Spotify MPRIS 2 player at /org/mpris/MediaPlayer2 on a connection of its own, so that the
// code under test reaches it through the bus like a real player. Property values go out with
// the D-Bus type of the QVariant they are given (an int as "i", a QString as "s"), which is how
// tests send the wrong types real players send. PlayPause toggles and Shuffle and LoopStatus
// can be set, each change announced; other methods are only recorded.
class FakeMprisPlayer : public QDBusVirtualObject
{
    Q_OBJECT
public:
    static QString spotifyServiceName() { return QStringLiteral("org.mpris.MediaPlayer2.spotify"); }

    explicit FakeMprisPlayer(const QDBusConnection &connection, QObject *parent = nullptr);
    ~FakeMprisPlayer() override;

    // Exports the object and takes the bus name; false when the bus refuses either.
    bool start();
    // Releases the name as a quitting player does. Calls it was holding end with the error
    // the bus gives the callers of a peer that leaves without answering.
    void quit();

    // The properties of org.mpris.MediaPlayer2.Player, set without announcing them.
    void setPlayerProperty(const QString &name, const QVariant &value);
    void removePlayerProperty(const QString &name) { m_properties.remove(name); }
    // Metadata as a well-behaved player sends it: an object-path track ID, the length as "x"
    // microseconds and the artists as a list.
    static QVariantMap metadata(const QString &title, const QString &artist, const QString &album,
                                double seconds, const QString &trackID = QStringLiteral("1"));
    // Stores the values and announces them in one PropertiesChanged.
    void changePlayerProperties(const QVariantMap &changed);
    // Announces values without storing them, exactly as given.
    void emitPropertiesChanged(
        const QVariantMap &changed, const QStringList &invalidated = {},
        const QString &interface = QStringLiteral("org.mpris.MediaPlayer2.Player"));
    void emitSeeked(qint64 microseconds);

    // A hung player receives calls and records them but never answers.
    void setAnswering(bool answering) { m_answering = answering; }

    // Each call received as its member and arguments, variants unwrapped; only those of the
    // members given, when given.
    QList<QVariantList> calls(const QStringList &members = {}) const;
    // Calls of a member, for Get only those about the property given.
    int callCount(const QString &member, const QString &property = QString()) const;
    void clearCalls() { m_calls.clear(); }

protected:
    QString introspect(const QString &) const override { return {}; }
    bool handleMessage(const QDBusMessage &message, const QDBusConnection &connection) override;

private:
    QDBusMessage answer(const QDBusMessage &message);

    QDBusConnection m_connection;
    QVariantMap m_properties;
    QList<QVariantList> m_calls;
    QList<QDBusMessage> m_held;
    bool m_answering = true;
    bool m_started = false;
};
