#pragma once

#include "models/RawNowPlaying.h"

#include <QObject>
#include <QSet>
#include <QString>

#include <qcoro/qcorotask.h>

#include <optional>

enum class PlaybackState { Stopped, Paused, Playing };

// What a player announces when its state changes; times in seconds.
struct PlayerReading
{
    PlaybackState state = PlaybackState::Stopped;
    QString title;
    QString artist;
    QString album;
    double duration = 0;
    double position = 0;

    friend bool operator==(const PlayerReading &, const PlayerReading &) = default;
};

// The permission answer for controlling a player.
enum class PlayerAuthStatus { Authorized = 0, Denied = 1, NeedsConsent = 2, Unavailable = 3 };

// Reads and commands the desktop players, each addressed by its source id ("com.spotify.client").
// An id that names no player here reads nothing and drops its commands. Nothing blocks: reads
// are coroutines that end with an empty answer when a player does not answer in time, and
// commands are sent without waiting.
class DesktopPlayers : public QObject
{
    Q_OBJECT
public:
    using QObject::QObject;

    // What the player plays now, with its shuffle and repeat; the empty snapshot when it has no
    // track or does not answer.
    virtual QCoro::Task<RawNowPlaying> readState(const QString &sourceId) = 0;

    virtual void playPause(const QString &sourceId) = 0;
    virtual void nextTrack(const QString &sourceId) = 0;
    virtual void previousTrack(const QString &sourceId) = 0;
    virtual void setPosition(const QString &sourceId, double seconds) = 0;
    virtual void setShuffle(const QString &sourceId, bool on) = 0;
    virtual void setRepeatMode(const QString &sourceId, int mode) = 0;

    virtual QCoro::Task<std::optional<QString>> spotifyTrackID() = 0;
    virtual QCoro::Task<std::optional<QString>> spotifyArtworkURL() = 0;

    virtual PlayerAuthStatus requestAutomationPermission(const QString &sourceId,
                                                         bool askUserIfNeeded)
        = 0;

    // Source ids of the players running now.
    virtual QSet<QString> runningSourceIds() const = 0;

Q_SIGNALS:
    // A player's state changed; a player that quits is announced as stopped.
    void playerStateChanged(const QString &sourceId, const PlayerReading &reading);
    // A player was launched or has quit.
    void runningPlayersChanged();
};
