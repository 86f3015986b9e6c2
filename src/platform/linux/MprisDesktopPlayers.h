#pragma once

#include "platform/DesktopPlayers.h"

#include <QDBusConnection>

class DBusPropertiesProxy;
class MprisPlayerProxy;
class QDBusPendingCall;

// The desktop players over MPRIS 2. Spotify's client is the player that owns one well-known bus
// name; every other source id addresses no player here.
//
// Every call is asynchronous with a short timeout. PropertiesChanged carries only what changed
// and never the position, so the player's properties are cached from the moment it appears and
// each change is announced as a whole reading after one fresh read of the position.
class MprisDesktopPlayers : public DesktopPlayers
{
    Q_OBJECT
public:
    static QString spotifyServiceName() { return QStringLiteral("org.mpris.MediaPlayer2.spotify"); }
    static QString spotifyBundleID() { return QStringLiteral("com.spotify.client"); }
    // How long a player may take to answer before a read counts as empty.
    static constexpr int callTimeoutMs() { return 1500; }

    // serviceName is the bus name of the player that stands in the Spotify slot; another
    // player's name lets a diagnostic drive any MPRIS player through the same code.
    explicit MprisDesktopPlayers(const QDBusConnection &bus,
                                 const QString &serviceName = spotifyServiceName(),
                                 QObject *parent = nullptr);
    ~MprisDesktopPlayers() override;

    QCoro::Task<RawNowPlaying> readState(const QString &sourceId) override;

    void playPause(const QString &sourceId) override;
    void nextTrack(const QString &sourceId) override;
    void previousTrack(const QString &sourceId) override;
    void setPosition(const QString &sourceId, double seconds) override;
    void setShuffle(const QString &sourceId, bool on) override;
    void setRepeatMode(const QString &sourceId, int mode) override;

    QCoro::Task<std::optional<QString>> spotifyTrackID() override;
    QCoro::Task<std::optional<QString>> spotifyArtworkURL() override;

    PlayerAuthStatus requestAutomationPermission(const QString &sourceId,
                                                 bool askUserIfNeeded) override;
    QSet<QString> runningSourceIds() const override;

private:
    bool addressesPlayer(const QString &sourceId) const;
    QCoro::Task<> queryInitialOwner();
    void ownerChanged(const QString &service, const QString &oldOwner, const QString &newOwner);
    void playerAppeared();
    void playerVanished();
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
