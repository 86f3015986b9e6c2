#include "scrobbling/ScrobbleRules.h"

#include <algorithm>
#include <cmath>
#include <limits>

using namespace Qt::StringLiterals;

namespace ScrobbleRules {
namespace {
// A length or position that is not a finite number is unknown.
double known(double seconds) { return std::isfinite(seconds) ? seconds : 0.0; }

PlaySession begin(const QString &key, const NowPlayingInfo &np, const Preferences &preferences,
                  const QDateTime &now)
{
    PlaySession session;
    session.key = key;
    session.title = np.title;
    session.artist = np.artist;
    session.album = np.album;
    session.duration = known(np.duration);
    session.startedAt = now;
    session.lastElapsed = known(np.elapsedTime);
    session.nowPlayingSent = preferences.nowPlaying && np.isPlaying;
    return session;
}

void appendBeginning(QList<Event> &events, const PlaySession &session, const NowPlayingInfo &np,
                     const Preferences &preferences)
{
    events.append({ Event::SessionStarted, session });
    if (preferences.nowPlaying && np.isPlaying)
        events.append({ Event::NowPlayingDue, session });
}
} // namespace

QString sessionKey(const NowPlayingInfo &np)
{
    return np.title + u'|' + np.artist + u'|' + np.sourceId;
}

bool thresholdReached(double accumulated, double duration)
{
    return duration > kMinimumDuration
        && accumulated >= std::min(duration * 0.5, kMaximumThreshold);
}

QList<Event> advance(std::optional<PlaySession> &session, const NowPlayingInfo &np,
                     const Preferences &preferences, const QDateTime &now)
{
    QList<Event> events;
    const QString key = sessionKey(np);
    if (!session || session->key != key) {
        session = begin(key, np, preferences, now);
        appendBeginning(events, *session, np, preferences);
        return events;
    }

    PlaySession working = *session;
    // A length learnt in this tick counts from the next one.
    const double duration = working.duration;
    const double elapsed = known(np.elapsedTime);
    if (duration <= 0 && known(np.duration) > 0) {
        working.duration = np.duration;
        events.append({ Event::DurationResolved, working });
    }
    if (np.isPlaying && preferences.nowPlaying && !working.nowPlayingSent) {
        working.nowPlayingSent = true;
        events.append({ Event::NowPlayingDue, working });
    }

    // Back at the start after having been well into it: the same track plays again.
    if (elapsed < kRestartPosition && working.lastElapsed > kRestartAfter) {
        session = begin(key, np, preferences, now);
        appendBeginning(events, *session, np, preferences);
        return events;
    }

    if (np.isPlaying) {
        const double step = elapsed - working.lastElapsed;
        if (step > 0 && step <= kMaximumStep)
            working.accumulated += step;
    }
    working.lastElapsed = elapsed;

    if (!working.scrobbled && preferences.history
        && thresholdReached(working.accumulated, duration)) {
        working.scrobbled = true;
        events.append({ Event::ThresholdReached, working });
    }
    session = working;
    return events;
}

qint64 wholeSeconds(double seconds)
{
    if (!std::isfinite(seconds))
        return 0;
    const double whole = std::trunc(seconds);
    if (std::abs(whole) >= double(std::numeric_limits<qint64>::max()))
        return 0;
    return qint64(whole);
}

QueuedScrobble queuedScrobble(const PlaySession &session)
{
    const qint64 duration = wholeSeconds(session.duration);
    return { session.artist, session.title, session.album, std::max<qint64>(duration, 0),
             session.startedAt.toSecsSinceEpoch() };
}

} // namespace ScrobbleRules
