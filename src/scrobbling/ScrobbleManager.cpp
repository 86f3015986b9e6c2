#include "scrobbling/ScrobbleManager.h"

#include "core/Clock.h"
#include "core/Log.h"
#include "models/NowPlayingInfo.h"
#include "nowplaying/NowPlayingAggregator.h"
#include "scrobbling/LastFmService.h"
#include "settings/AppSettings.h"

#include <QPointer>

#include <cstdio>

using namespace Qt::StringLiterals;

namespace {
const QString kPost = u"POST"_s;

// Seconds as the log lines print them: rounded, no decimals.
QString seconds(double value)
{
    char text[64];
    std::snprintf(text, sizeof text, "%.0f", value);
    return QString::fromLatin1(text);
}

QString flag(bool on) { return on ? u"1"_s : u"0"_s; }
} // namespace

ScrobbleManager::ScrobbleManager(NowPlayingAggregator &nowPlaying, LastFmService &lastfm,
                                 ScrobbleQueue &queue, AppSettings &settings, Clock &clock,
                                 QObject *parent)
    : QObject(parent), m_nowPlaying(nowPlaying), m_lastfm(lastfm), m_settings(settings),
      m_queue(queue), m_clock(clock)
{
    // A newly connected account flushes what waits for it on its first tick.
    connect(&m_lastfm, &LastFmService::sessionKeyChanged, this, [this] {
        if (m_lastfm.isConnected())
            m_flushCountdown = 0;
        updateTimer();
    });
    m_timer.setInterval(kTickIntervalMs);
    connect(&m_timer, &QTimer::timeout, this, &ScrobbleManager::onTick);
    updateTimer();
}

void ScrobbleManager::setAutomaticTicks(bool automatic)
{
    m_automaticTicks = automatic;
    updateTimer();
}

void ScrobbleManager::updateTimer()
{
    if (m_automaticTicks && m_lastfm.isConnected()) {
        if (!m_timer.isActive())
            m_timer.start();
    } else {
        m_timer.stop();
    }
}

void ScrobbleManager::onTick()
{
    if (!m_lastfm.isConnected())
        return;
    if (--m_flushCountdown < 1) {
        m_flushCountdown = kFlushEveryTicks;
        flushQueue();
    }

    const NowPlayingInfo np = m_nowPlaying.nowPlaying();
    if (np.title.isEmpty())
        return;
    const Source source = np.source();
    if (source.rawValue().isEmpty() || !m_settings.isScrobbleEnabled(source))
        return;

    const ScrobbleRules::Preferences preferences { m_settings.scrobbleNowPlaying(),
                                                   m_settings.scrobbleHistory() };
    const QList<ScrobbleRules::Event> events
        = ScrobbleRules::advance(m_session, np, preferences, m_clock.now());
    for (const ScrobbleRules::Event &event : events) {
        const ScrobbleRules::PlaySession &session = event.session;
        // Names come from players and web pages: one line each, whatever they hold.
        const QString artist = LastFm::loggable(session.artist);
        const QString title = LastFm::loggable(session.title);
        switch (event.kind) {
        case ScrobbleRules::Event::SessionStarted:
            plainLog(u"Vesper: Last.fm session started — %1 — %2 — duration=%3s playing=%4 "
                     "history=%5"_s.arg(artist, title, seconds(session.duration),
                                        flag(np.isPlaying), flag(preferences.history)));
            break;
        case ScrobbleRules::Event::DurationResolved:
            plainLog(u"Vesper: Last.fm session duration resolved — %1 — %2 — %3s"_s.arg(
                artist, title, seconds(session.duration)));
            break;
        case ScrobbleRules::Event::NowPlayingDue:
            updateNowPlaying(np);
            plainLog(u"Vesper: Last.fm now playing sent — %1 — %2"_s.arg(
                LastFm::loggable(np.artist), LastFm::loggable(np.title)));
            break;
        case ScrobbleRules::Event::ThresholdReached:
            plainLog(u"Vesper: Last.fm scrobble threshold reached — %1 — %2 — %3s/%4s"_s.arg(
                artist, title, seconds(session.accumulated), seconds(session.duration)));
            scrobble(session);
            break;
        }
    }
}

void ScrobbleManager::updateNowPlaying(const NowPlayingInfo &np)
{
    LastFm::Params params { { u"artist"_s, np.artist }, { u"track"_s, np.title } };
    if (!np.album.isEmpty())
        params.insert(u"album"_s, np.album);
    if (const qint64 duration = ScrobbleRules::wholeSeconds(np.duration); duration > 0)
        params.insert(u"duration"_s, QString::number(duration));
    // A notice that fails is not repeated: it only matters while the track plays.
    m_lastfm.request(u"track.updateNowPlaying"_s, params, kPost);
}

void ScrobbleManager::scrobble(const ScrobbleRules::PlaySession &session)
{
    submit(ScrobbleRules::queuedScrobble(session));
}

QCoro::Task<> ScrobbleManager::submit(QueuedScrobble entry)
{
    QPointer<ScrobbleManager> self(this);
    const std::optional<QString> account = m_lastfm.sessionKey();
    const QList<QueuedScrobble> batch { entry };
    const bool delivered = co_await send(batch);
    if (!self)
        co_return;
    if (delivered) {
        // The connection works: send the backlog now.
        co_await flushQueue();
        co_return;
    }
    // Signed out while the call was out: the account's queue went with it, and its scrobble must
    // not wait for whoever signs in next. A revoked session keeps its queue for its owner.
    if (m_lastfm.sessionKey() != account && !m_lastfm.queueOwner()) {
        qCInfo(lcLastFm).noquote()
            << u"a scrobble of %1 is not kept: its account was signed out"_s.arg(
                   LastFm::loggable(entry.track));
        co_return;
    }
    if (const std::optional<qsizetype> pending = m_queue.append(entry)) {
        plainLog(u"Vesper: Last.fm scrobble queued (%1 pending)"_s.arg(*pending));
    } else {
        qCWarning(lcLastFm).noquote()
            << u"a scrobble of %1 cannot be queued"_s.arg(LastFm::loggable(entry.track));
    }
}

QCoro::Task<> ScrobbleManager::flushQueue()
{
    if (m_flushing || m_queue.entries().isEmpty())
        co_return;
    m_flushing = true;
    QPointer<ScrobbleManager> self(this);
    for (;;) {
        const QList<QueuedScrobble> batch = m_queue.entries().mid(0, kBatchSize);
        if (batch.isEmpty())
            break;
        const bool delivered = co_await send(batch);
        if (!self)
            co_return;
        if (!delivered)
            break;
        // Only what was sent leaves the queue: a scrobble queued while the batch was on its way
        // stays, even when it pushed an old entry out at the cap.
        const qsizetype left = m_queue.removeDelivered(batch);
        plainLog(
            u"Vesper: Last.fm flushed %1 queued scrobbles (%2 left)"_s.arg(batch.size()).arg(left));
    }
    m_flushing = false;
}

QCoro::Task<bool> ScrobbleManager::send(QList<QueuedScrobble> batch)
{
    LastFm::Params params;
    for (qsizetype i = 0; i < batch.size(); ++i) {
        const QueuedScrobble &entry = batch.at(i);
        const QString index = u'[' + QString::number(i) + u']';
        params.insert(u"artist"_s + index, entry.artist);
        params.insert(u"track"_s + index, entry.track);
        params.insert(u"timestamp"_s + index, QString::number(entry.timestamp));
        if (!entry.album.isEmpty())
            params.insert(u"album"_s + index, entry.album);
        if (entry.duration >= 1)
            params.insert(u"duration"_s + index, QString::number(entry.duration));
    }
    const QString method = u"track.scrobble"_s;
    QPointer<ScrobbleManager> self(this);
    const std::optional<QJsonObject> reply = co_await m_lastfm.request(method, params, kPost);
    if (!self || !reply)
        co_return false;
    // An answer that is not a scrobble answer says nothing was taken: keep the entries.
    const std::optional<LastFm::ScrobbleCounts> counts = LastFm::scrobbleCountsFrom(*reply);
    if (!counts) {
        plainLog(u"Vesper: Last.fm %1 failed: -1 malformed response"_s.arg(method));
        co_return false;
    }
    // Entries the service ignored (too old, filtered) would be ignored again: they are done.
    if (counts->ignored > 0) {
        qCInfo(lcLastFm).noquote()
            << u"Last.fm ignored %1 of %2 scrobbles"_s.arg(counts->ignored).arg(batch.size());
    }
    co_return true;
}
