#pragma once

#include "scrobbling/ScrobbleQueue.h"
#include "scrobbling/ScrobbleRules.h"

#include <QObject>
#include <QTimer>

#include <qcoro/qcorotask.h>

#include <optional>

class AppSettings;
class Clock;
class LastFmService;
class NowPlayingAggregator;
struct NowPlayingInfo;

// Decides when a track counts as played and reports it to Last.fm. Once a second it follows what
// the aggregator shows (the rules live in ScrobbleRules), sends "now playing" as a play starts
// and a scrobble once enough has been heard. Scrobbles that cannot be delivered wait in the
// offline queue (borrowed, as LastFmService also decides over it), which is flushed in batches on
// the first tick and every 60 ticks after.
class ScrobbleManager : public QObject
{
    Q_OBJECT
public:
    static constexpr int kTickIntervalMs = 1000;
    static constexpr int kFlushEveryTicks = 60;
    static constexpr qsizetype kBatchSize = 50;

    // Starts the one-second tick.
    ScrobbleManager(NowPlayingAggregator &nowPlaying, LastFmService &lastfm, ScrobbleQueue &queue,
                    AppSettings &settings, Clock &clock, QObject *parent = nullptr);

    const std::optional<ScrobbleRules::PlaySession> &session() const { return m_session; }
    bool isFlushing() const { return m_flushing; }
    // The tick runs only while an account is connected: without one it has nothing to do, and an
    // idle Vesper should not wake every second. Tests turn it off and tick by hand.
    void setAutomaticTicks(bool automatic);

    void onTick();
    // Sends the queue, oldest first, a batch at a time, until it is empty or a batch fails.
    QCoro::Task<> flushQueue();

private:
    void updateNowPlaying(const NowPlayingInfo &np);
    void scrobble(const ScrobbleRules::PlaySession &session);
    QCoro::Task<> submit(QueuedScrobble entry);
    // Whether the service took the batch; a failure never counts as delivery.
    QCoro::Task<bool> send(QList<QueuedScrobble> batch);

    NowPlayingAggregator &m_nowPlaying;
    LastFmService &m_lastfm;
    AppSettings &m_settings;
    ScrobbleQueue &m_queue;
    Clock &m_clock;

    std::optional<ScrobbleRules::PlaySession> m_session;
    QTimer m_timer;
    bool m_automaticTicks = true;
    void updateTimer();
    int m_flushCountdown = 0;
    bool m_flushing = false;
};
