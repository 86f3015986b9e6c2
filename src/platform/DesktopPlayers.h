#pragma once

#include "models/RepeatMode.h"

#include <QImage>
#include <QObject>
#include <QSet>
#include <QString>
#include <QVariantMap>

#include <qcoro/qcorotask.h>

#include <optional>

// One desktop player's state as its reader gives it. An empty title means no track.
struct DesktopTrack
{
    bool isPlaying = false;
    QString title;
    QString artist;
    QString album;
    double duration = 0; // seconds
    double elapsed = 0; // seconds
    bool shuffle = false;
    int repeatMode = RepeatMode::Off;

    friend bool operator==(const DesktopTrack &, const DesktopTrack &) = default;
};

// The permission answer for controlling a player.
enum class PlayerAuthStatus { Authorized = 0, Denied = 1, NeedsConsent = 2, Unavailable = 3 };

// Reads and commands the two desktop players, addressed by bundle identifier:
// "com.spotify.client" is Spotify and every other value, "" included, is Apple Music. Nothing
// here blocks: reads are coroutines that end with an empty answer when a player does not answer
// in time, and commands are sent without waiting.
class DesktopPlayers : public QObject
{
    Q_OBJECT
public:
    using QObject::QObject;

    // Names of the notifications the players post, and their identifiers.
    static QString spotifyNotification()
    {
        return QStringLiteral("com.spotify.client.PlaybackStateChanged");
    }
    static QString appleMusicNotification() { return QStringLiteral("com.apple.Music.playerInfo"); }

    virtual QCoro::Task<DesktopTrack> spotifyState() = 0;
    virtual QCoro::Task<DesktopTrack> appleMusicState() = 0;

    virtual void playPause(const QString &sourceId) = 0;
    virtual void nextTrack(const QString &sourceId) = 0;
    virtual void previousTrack(const QString &sourceId) = 0;
    virtual void setPosition(const QString &sourceId, double seconds) = 0;
    virtual void setShuffle(const QString &sourceId, bool on) = 0;
    virtual void setRepeatMode(const QString &sourceId, int mode) = 0;

    virtual QCoro::Task<std::optional<QString>> spotifyTrackID() = 0;
    virtual QCoro::Task<std::optional<QString>> spotifyArtworkURL() = 0;
    virtual QCoro::Task<std::optional<QImage>> appleMusicArtwork() = 0;
    virtual QCoro::Task<bool> appleMusicIsLiked() = 0;
    virtual void appleMusicSetLiked(bool liked) = 0;

    virtual PlayerAuthStatus requestAutomationPermission(const QString &sourceId,
                                                         bool askUserIfNeeded)
        = 0;

    // Bundle identifiers of the players running now.
    virtual QSet<QString> runningSourceIds() const = 0;

Q_SIGNALS:
    // A player's state broadcast: the name is one of the two above; userInfo carries
    // "Player State" ("Playing", "Paused", "Stopped"), "Name", "Artist", "Album",
    // "Duration" (Spotify) or "Total Time" (Apple Music) in milliseconds, and
    // "Playback Position" (Spotify) or "Player Position" (Apple Music) in seconds.
    void notificationPosted(const QString &name, const QVariantMap &userInfo);
    // A player was launched or has quit.
    void runningPlayersChanged();
};
