#pragma once

#include "models/RawNowPlaying.h"
#include "platform/DesktopPlayers.h"

#include <QDBusConnection>
#include <QObject>
#include <QVariantMap>

#include <qcoro/qcorotask.h>

#include <optional>

class DBusPropertiesProxy;
class MprisPlayerProxy;
class QDBusPendingCall;

// One MPRIS 2 player, the owner of one bus name, followed from the moment it appears.
//
// Every call is asynchronous with a short timeout. PropertiesChanged carries only what changed
// and never the position, so the player's properties are cached from the moment it appears and
// each change is announced as a whole reading after one fresh read of the position.
class MprisPlayer : public QObject
{
    Q_OBJECT
public:
    // How long a player may take to answer before a read counts as empty.
    static constexpr int callTimeoutMs = 1500;

    MprisPlayer(const QDBusConnection &bus, const QString &serviceName, QObject *parent = nullptr);
    ~MprisPlayer() override;

    QString serviceName() const { return m_service; }
    bool isRunning() const { return m_running; }

    // What it plays now; the empty snapshot when it has no track or does not answer.
    QCoro::Task<RawNowPlaying> readState();
    // The current track's metadata; none when the player does not answer.
    QCoro::Task<std::optional<QVariantMap>> readMetadata();

    void playPause();
    void nextTrack();
    void previousTrack();
    void setPosition(double seconds);
    void setShuffle(bool on);
    void setRepeatMode(int mode);

Q_SIGNALS:
    // A change of its state, as a whole reading; a player that quits is announced as stopped.
    void stateChanged(const PlayerReading &reading);
    // It appeared on the bus or left it.
    void runningChanged();

private:
    QCoro::Task<> queryInitialOwner();
    void ownerChanged(const QString &service, const QString &oldOwner, const QString &newOwner);
    void appeared();
    void vanished();
    void propertiesChanged(const QString &interfaceName, const QVariantMap &changed,
                           const QStringList &invalidated);
    void seeked(qlonglong position);

    // All player properties, made plain; also refreshes the cache. None when the player does
    // not answer in time or answers with something else.
    QCoro::Task<std::optional<QVariantMap>> readPlayer();
    QCoro::Task<> announceState();
    QCoro::Task<> seekTo(double seconds);
    // Sends a command without waiting for it; a failure is only worth a debug line.
    void sendCommand(const QDBusPendingCall &call, const QString &what);

    QDBusConnection m_bus;
    QString m_service;
    MprisPlayerProxy *m_player;
    DBusPropertiesProxy *m_properties;

    bool m_running = false;
    // Set by the first owner change, which is newer than the initial NameHasOwner answer.
    bool m_ownerKnown = false;
    // Counts appearances and disappearances, so an answer from a player instance that is gone
    // does not touch the state of the next one.
    quint64 m_generation = 0;

    QVariantMap m_cache;
    // Whether m_cache came from a full read; after a failed one each change reads everything.
    bool m_cacheComplete = false;
    bool m_announcing = false;
    bool m_announceAgain = false;
};
