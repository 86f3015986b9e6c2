#pragma once

#include "platform/DesktopPlayers.h"

#include <QDBusConnection>

class MprisPlayer;

// The desktop players over MPRIS 2, each an MprisPlayer addressed by its source id. Spotify's
// client is the player that owns one well-known bus name; every other source id addresses no
// player here.
class MprisDesktopPlayers : public DesktopPlayers
{
    Q_OBJECT
public:
    static QString spotifyServiceName() { return QStringLiteral("org.mpris.MediaPlayer2.spotify"); }
    static QString spotifyBundleID() { return QStringLiteral("com.spotify.client"); }

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
    // The player of that source id; none when it names no player here.
    MprisPlayer *player(const QString &sourceId) const;

    MprisPlayer *m_spotify;
};
