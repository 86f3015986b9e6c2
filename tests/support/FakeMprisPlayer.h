#pragma once

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVirtualObject>
#include <QList>
#include <QString>
#include <QStringList>
#include <QVariantList>
#include <QVariantMap>

// An MPRIS 2 player at /org/mpris/MediaPlayer2 on a connection of its own, so that the code
// under test reaches it through the bus like a real player. Property values go out with the
// D-Bus type of the QVariant they are given (an int as "i", a QString as "s"), which is how
// tests send the wrong types real players send. It behaves like a small player: PlayPause
// toggles, Seek and SetPosition move the position, Shuffle and LoopStatus can be set, and each
// change is announced with PropertiesChanged or Seeked.
class FakeMprisPlayer : public QDBusVirtualObject
{
    Q_OBJECT
public:
    struct Call
    {
        QString interface;
        QString member;
        // Variants unwrapped; "Set" records the property name and its new value.
        QVariantList arguments;
    };

    static QString spotifyServiceName() { return QStringLiteral("org.mpris.MediaPlayer2.spotify"); }

    explicit FakeMprisPlayer(const QDBusConnection &connection,
                             const QString &serviceName = spotifyServiceName(),
                             QObject *parent = nullptr);
    ~FakeMprisPlayer() override;

    // Exports the object and takes the bus name; false when the bus refuses either.
    bool start();
    // Releases the name as a quitting player does. Calls it was holding end with the error
    // the bus gives the callers of a peer that leaves without answering.
    void quit();

    // The properties of org.mpris.MediaPlayer2.Player, set without announcing them.
    void setPlayerProperty(const QString &name, const QVariant &value);
    void removePlayerProperty(const QString &name);
    QVariant playerProperty(const QString &name) const { return m_properties.value(name); }
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

    QList<Call> calls() const { return m_calls; }
    // Calls of a member, for Get and Set only those about the property given.
    int callCount(const QString &member, const QString &property = QString()) const;
    void clearCalls() { m_calls.clear(); }

Q_SIGNALS:
    // Every method call as it arrives, answered or not.
    void called(const QString &member, const QVariantList &arguments);

protected:
    QString introspect(const QString &path) const override;
    bool handleMessage(const QDBusMessage &message, const QDBusConnection &connection) override;

private:
    void handleProperties(const QDBusMessage &message);
    void handlePlayer(const QDBusMessage &message);
    void togglePlayback();

    QDBusConnection m_connection;
    QString m_serviceName;
    QVariantMap m_properties;
    QVariantMap m_rootProperties;
    QList<Call> m_calls;
    QList<QDBusMessage> m_held;
    bool m_answering = true;
    bool m_started = false;
};
