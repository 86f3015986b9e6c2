#pragma once

#include "models/NowPlayingInfo.h"
#include "scrobbling/ScrobbleQueue.h"

#include <QDateTime>
#include <QList>
#include <QString>

#include <optional>

// When a play counts. One play of one track is followed as a play session; once a second the
// session is advanced by what the aggregator shows. Only the seconds heard in steps of at most
// 2.5 seconds of the track's own position count as listening, so seeking, pausing and time the
// machine spent suspended never do; the wall clock only dates the session's start.
namespace ScrobbleRules {

inline constexpr double kMinimumDuration = 30.0; // a track must be longer than this
inline constexpr double kMaximumThreshold = 240.0;
inline constexpr double kMaximumStep = 2.5;
inline constexpr double kRestartPosition = 3.0;
inline constexpr double kRestartAfter = 30.0;

struct PlaySession
{
    QString key;
    QString title;
    QString artist;
    QString album;
    double duration = 0; // 0 or less while unknown
    QDateTime startedAt;
    double lastElapsed = 0;
    double accumulated = 0;
    bool scrobbled = false;
    bool nowPlayingSent = false;
};

struct Preferences
{
    bool nowPlaying = true; // send "now playing" notices
    bool history = true; // submit scrobbles
};

// What a tick asks of the manager, in order. `session` is the session as it stood when the event
// arose.
struct Event
{
    enum Kind { SessionStarted, DurationResolved, NowPlayingDue, ThresholdReached };
    Kind kind;
    PlaySession session;
};

// Title, artist and source joined by "|": another title, artist or source is another play.
QString sessionKey(const NowPlayingInfo &np);

// Seconds to hear before a track of this length counts; a length of 30 seconds or less never
// counts.
bool thresholdReached(double accumulated, double duration);

// Advances the session by one tick of an eligible track (the caller has checked the account,
// the title and the source). A new key, or the same track started over, begins a new session.
QList<Event> advance(std::optional<PlaySession> &session, const NowPlayingInfo &np,
                     const Preferences &preferences, const QDateTime &now);

// The scrobble of a session: its start as the timestamp, lengths in whole seconds.
QueuedScrobble queuedScrobble(const PlaySession &session);

// Whole seconds toward zero; 0 for a length that is not a finite number.
qint64 wholeSeconds(double seconds);

} // namespace ScrobbleRules
