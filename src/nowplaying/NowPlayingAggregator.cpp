#include "nowplaying/NowPlayingAggregator.h"

#include "core/Clock.h"
#include "core/Log.h"
#include "core/SettingsKeys.h"
#include "core/SettingsStore.h"
#include "nowplaying/ArtworkResolver.h"
#include "nowplaying/SourceRouting.h"
#include "nowplaying/WebBridge.h"
#include "platform/DesktopPlayers.h"

#include <QPointer>

using namespace Qt::StringLiterals;
using SourceRouting::shownSource;

namespace {

const QString kAuto = u"auto"_s;

QString boolText(bool value) { return value ? u"true"_s : u"false"_s; }

} // namespace

NowPlayingAggregator::NowPlayingAggregator(DesktopPlayers &players, WebBridge *webBridge,
                                           ArtworkResolver &artwork, SettingsStore &defaults,
                                           Clock &clock, QObject *parent)
    : QObject(parent), m_players(players), m_webBridge(webBridge), m_artwork(artwork),
      m_defaults(defaults), m_clock(clock)
{
    m_lastFetchDate = m_clock.monotonicSeconds();
    m_progressTimer.setInterval(kProgressIntervalMs);
    connect(&m_progressTimer, &QTimer::timeout, this, &NowPlayingAggregator::tickProgress);

    restoreSavedSource(std::nullopt);
    connect(&m_players, &DesktopPlayers::playerStateChanged, this,
            &NowPlayingAggregator::onPlayerStateChanged);
    m_slowPollTimer.setInterval(kPollIntervalMs);
    connect(&m_slowPollTimer, &QTimer::timeout, this, [this] { slowRefresh(); });
    m_slowPollTimer.start();
    refreshAvailableSources();
    // Players are found on the bus only after start, and one may start later: each is read as
    // it appears, not at the next poll, five seconds on.
    connect(
        &m_players, &DesktopPlayers::runningPlayersChanged, this, [this] { slowRefresh(); },
        Qt::QueuedConnection);
    // The first poll comes right after start, not five seconds later.
    QTimer::singleShot(0, this, [this] { slowRefresh(); });
}

NowPlayingAggregator::~NowPlayingAggregator() = default;

QString NowPlayingAggregator::lockName() const
{
    return m_lockedSource ? m_lockedSource->rawValue() : kAuto;
}

void NowPlayingAggregator::replaceNowPlaying(const NowPlayingInfo &info)
{
    const bool changed = !(info == m_nowPlaying);
    m_nowPlaying = info;
    if (changed)
        Q_EMIT nowPlayingChanged();
}

bool NowPlayingAggregator::apply(const RawNowPlaying &raw, const QString &sourceId,
                                 SourceCapabilities capabilities)
{
    switch (SourceRouting::admit(m_lockedSource, sourceId, raw.isPlaying, m_nowPlaying)) {
    case SourceRouting::Verdict::RejectedByLock:
        qCInfo(lcSourceRouting).noquote()
            << u"state rejected at apply; incoming=%1 lock=%2 current=%3"_s.arg(
                   sourceId, lockName(), m_nowPlaying.sourceId);
        return false;
    case SourceRouting::Verdict::RejectedPaused:
        qCInfo(lcSourceRouting).noquote()
            << u"paused state rejected in auto; incoming=%1 current=%2"_s.arg(
                   sourceId, m_nowPlaying.sourceId);
        return false;
    case SourceRouting::Verdict::Accepted:
        break;
    }

    const QString previous = m_nowPlaying.sourceId;
    m_nowPlaying.title = raw.title;
    m_nowPlaying.artist = raw.artist;
    m_nowPlaying.album = raw.album;
    m_nowPlaying.duration = raw.duration;
    m_nowPlaying.sourceId = sourceId;
    m_nowPlaying.capabilities = capabilities;
    if (raw.hasTransportInfo) {
        m_nowPlaying.shuffle = raw.shuffle;
        m_nowPlaying.repeatMode = raw.repeatMode;
    }

    const QString key = SourceRouting::trackKey(raw.title, raw.artist);
    const bool trackChanged = key != m_lastTrackKey;
    if (raw.isPlaying != m_nowPlaying.isPlaying || trackChanged) {
        m_nowPlaying.isPlaying = raw.isPlaying;
        anchor(raw.elapsed);
        // Shown at once: a paused track gets no tick, and a new one must not show the last
        // track's time until its first tick.
        m_nowPlaying.elapsedTime = std::min(m_nowPlaying.duration, raw.elapsed);
        if (raw.isPlaying)
            startProgress();
        else
            stopProgress();
        if (trackChanged) {
            m_lastTrackKey = key;
            m_nowPlaying.artwork.reset();
            QTimer::singleShot(0, this, [this, raw, sourceId] {
                fetchArtwork(raw.title, raw.artist, raw.album, sourceId);
            });
        }
    }
    Q_EMIT nowPlayingChanged();

    if (trackChanged || sourceId != previous) {
        qCInfo(lcSourceRouting).noquote()
            << u"state applied; source=%1 previous=%2 playing=%3 title=%4 lock=%5"_s.arg(
                   sourceId, previous, boolText(raw.isPlaying), raw.title, lockName());
    }
    return true;
}

void NowPlayingAggregator::clear()
{
    qCInfo(lcSourceRouting).noquote()
        << u"state cleared; previous=%1 lock=%2"_s.arg(m_nowPlaying.sourceId, lockName());
    replaceNowPlaying(NowPlayingInfo());
    m_lastTrackKey.clear();
    stopProgress();
}

void NowPlayingAggregator::anchor(double elapsed)
{
    m_lastFetchedElapsed = elapsed;
    m_lastFetchDate = m_clock.monotonicSeconds();
}

void NowPlayingAggregator::startProgress() { m_progressTimer.start(); }

void NowPlayingAggregator::stopProgress() { m_progressTimer.stop(); }

void NowPlayingAggregator::tickProgress()
{
    const double interpolated
        = m_lastFetchedElapsed + (m_clock.monotonicSeconds() - m_lastFetchDate);
    m_nowPlaying.elapsedTime = std::min(m_nowPlaying.duration, interpolated);
    Q_EMIT nowPlayingChanged();
}

void NowPlayingAggregator::onPlayerStateChanged(const QString &sourceId,
                                                const PlayerReading &reading)
{
    if (m_lockedSource && m_lockedSource->rawValue() != sourceId) {
        const QString player
            = sourceId == Source(Source::Spotify).rawValue() ? u"spotify"_s : sourceId;
        qCDebug(lcSourceRouting).noquote()
            << u"%1 notification rejected; lock=%2"_s.arg(player, lockName());
        return;
    }
    if (!reading.title.isEmpty() && reading.state != PlaybackState::Stopped) {
        // Shuffle and repeat are left to the poll, which reads them with the track.
        const RawNowPlaying raw { reading.state == PlaybackState::Playing,
                                  reading.title,
                                  reading.artist,
                                  reading.album,
                                  reading.duration,
                                  reading.position };
        apply(raw, sourceId, allSourceCapabilities);
    } else if (m_nowPlaying.sourceId == sourceId) {
        clear();
    }
}

QCoro::Task<> NowPlayingAggregator::slowRefresh()
{
    if (m_pollInFlight) {
        m_pollAgain = true;
        co_return;
    }
    m_pollInFlight = true;
    QPointer<NowPlayingAggregator> self(this);

    refreshAvailableSources();
    const QSet<QString> running = m_players.runningSourceIds();
    QStringList eligible;
    for (const QString &sourceId : running) {
        if (!m_lockedSource || m_lockedSource->rawValue() == sourceId)
            eligible.append(sourceId);
    }
    // A fixed order, so that which of several players wins never depends on hashing.
    eligible.sort();

    for (const QString &sourceId : std::as_const(eligible)) {
        if (m_permRequested.contains(sourceId))
            continue;
        m_permRequested.insert(sourceId);
        if (m_players.requestAutomationPermission(sourceId, true) == PlayerAuthStatus::Denied)
            reportDenied(Source::fromRawValue(sourceId).value_or(Source::Unknown));
    }

    std::optional<std::pair<RawNowPlaying, QString>> hit;
    for (const QString &sourceId : std::as_const(eligible)) {
        RawNowPlaying snapshot = co_await m_players.readState(sourceId);
        if (!self)
            co_return;
        if (!snapshot.title.isEmpty()) {
            hit = { snapshot, sourceId };
            break;
        }
    }

    if (hit) {
        const std::optional<WebPlayerState> web
            = m_webBridge ? m_webBridge->lastState() : std::nullopt;
        const bool webBusy = web && web->isPlaying && !web->title.isEmpty();
        // A paused desktop player does not compete with a playing web player.
        if (!webBusy || hit->first.isPlaying)
            apply(hit->first, hit->second, allSourceCapabilities);
    } else if (m_lockedSource && m_lockedSource->isDesktopSource()) {
        clear();
    }

    m_pollInFlight = false;
    if (m_pollAgain) {
        m_pollAgain = false;
        slowRefresh();
    }
}

void NowPlayingAggregator::reportDenied(const Source &app)
{
    if (m_didReportDenied)
        return;
    m_didReportDenied = true;
    Q_EMIT automationDenied(app);
}

void NowPlayingAggregator::onWebState(const std::optional<WebPlayerState> &state)
{
    switch (SourceRouting::admitWeb(m_lockedSource, state, m_nowPlaying)) {
    case SourceRouting::WebVerdict::RejectedByNativeLock:
        qCDebug(lcSourceRouting).noquote()
            << u"web state rejected; native lock=%1"_s.arg(lockName());
        return;
    case SourceRouting::WebVerdict::RejectedByWebLock:
        qCDebug(lcSourceRouting).noquote()
            << u"web state rejected; incoming=%1 lock=%2"_s.arg(state->source, lockName());
        return;
    case SourceRouting::WebVerdict::RejectedPaused:
        qCDebug(lcSourceRouting).noquote()
            << u"paused web state rejected; incoming=%1 playing=%2"_s.arg(state->source,
                                                                          m_nowPlaying.sourceId);
        return;
    case SourceRouting::WebVerdict::Missing:
        if (!m_lockedSource) {
            qCInfo(lcSourceRouting).noquote()
                << u"web state missing; clearing current=%1 auto=true"_s.arg(m_nowPlaying.sourceId);
            if (!shownSource(m_nowPlaying).isDesktopSource())
                clear();
            return;
        }
        qCInfo(lcSourceRouting).noquote()
            << u"web state missing; retaining lock=%1 current=%2"_s.arg(lockName(),
                                                                        m_nowPlaying.sourceId);
        if (shownSource(m_nowPlaying) != *m_lockedSource) {
            NowPlayingInfo placeholder;
            placeholder.sourceId = m_lockedSource->rawValue();
            placeholder.capabilities = SourceCapability::Seek;
            replaceNowPlaying(placeholder);
        } else {
            m_nowPlaying.isPlaying = false;
            Q_EMIT nowPlayingChanged();
        }
        stopProgress();
        return;
    case SourceRouting::WebVerdict::Accepted:
        break;
    }

    const Source incoming = Source::fromBridgeSource(state->source).value_or(Source::Unknown);
    const QString signature
        = state->source + u'|' + state->title + u'|' + boolText(state->isPlaying);
    if (signature != m_lastWebLogSignature) {
        m_lastWebLogSignature = signature;
        qCInfo(lcSourceRouting).noquote()
            << u"web state accepted; source=%1 playing=%2 title=%3"_s.arg(
                   state->source, boolText(state->isPlaying), state->title);
    }
    // Set before apply, so that the artwork lookup apply starts sees it.
    m_webArtworkURL = state->artworkURL;
    Q_EMIT webArtworkURLChanged();

    const RawNowPlaying raw { state->isPlaying, state->title,      state->artist,
                              state->album,     state->duration,   state->position,
                              state->shuffle,   state->repeatMode, true };
    if (apply(raw, incoming.rawValue(), state->capabilities)) {
        // Web players report their position with every state: each one re-synchronizes it.
        anchor(state->position);
        m_nowPlaying.elapsedTime = state->position;
        Q_EMIT nowPlayingChanged();
    }
}

void NowPlayingAggregator::selectSource(const Source &app)
{
    const std::optional<Source> previousLock = m_lockedSource;
    m_lockedSource = (m_lockedSource && *m_lockedSource == app) ? std::nullopt : std::optional(app);
    Q_EMIT lockedSourceChanged();
    qCInfo(lcSourceRouting).noquote()
        << u"source selected; requested=%1 previousLock=%2 newLock=%3 current=%4"_s.arg(
               app.rawValue(), previousLock ? previousLock->rawValue() : kAuto, lockName(),
               m_nowPlaying.sourceId);
    m_defaults.setValue(SettingsKeys::lockedSource, lockName());

    if (m_lockedSource && shownSource(m_nowPlaying) != *m_lockedSource) {
        if (!m_nowPlaying.title.isEmpty())
            clear();
        if (!m_lockedSource->isDesktopSource() && m_webBridge) {
            if (const auto state = m_webBridge->state(*m_lockedSource))
                onWebState(state);
        }
    }
    slowRefresh();
}

void NowPlayingAggregator::restoreSavedSource(const std::optional<QList<Source>> &sources)
{
    const std::optional<QString> saved = m_defaults.stringValue(SettingsKeys::lockedSource);
    if (!saved)
        return;
    const std::optional<Source> source = Source::fromRawValue(*saved);
    if (!source)
        return;
    if (!sources.value_or(availableSources()).contains(*source))
        return;

    m_lockedSource = source;
    Q_EMIT lockedSourceChanged();
    qCInfo(lcSourceRouting).noquote() << u"saved source restored; lock=%1 current=%2"_s.arg(
        source->rawValue(), m_nowPlaying.sourceId);
    if (shownSource(m_nowPlaying) != *source) {
        if (!m_nowPlaying.title.isEmpty())
            clear();
        if (!source->isDesktopSource() && m_webBridge) {
            if (const auto state = m_webBridge->state(*source))
                onWebState(state);
        }
    }
}

void NowPlayingAggregator::refreshAvailableSources()
{
    const QList<Source> sources = availableSources();
    if (sources != m_availableSourcesSnapshot) {
        m_availableSourcesSnapshot = sources;
        Q_EMIT availableSourcesSnapshotChanged();
    }
    if (!m_lockedSource)
        restoreSavedSource(sources);
}

QList<SourceListItem> NowPlayingAggregator::sourceList() const
{
    const bool connected = m_webBridge && m_webBridge->isConnected();
    if (!connected)
        return SourceRouting::sourceList(m_players.runningSourceIds(), false, {}, {}, WebSites());
    return SourceRouting::sourceList(m_players.runningSourceIds(), true,
                                     m_webBridge->definedSources(), m_webBridge->openSources(),
                                     m_webBridge->webSites());
}

QList<Source> NowPlayingAggregator::availableSources() const
{
    QList<Source> sources;
    for (const SourceListItem &item : sourceList()) {
        if (item.enabled)
            sources.append(item.app);
    }
    return sources;
}

QCoro::Task<> NowPlayingAggregator::fetchArtwork(QString title, QString artist, QString album,
                                                 QString sourceId)
{
    QPointer<NowPlayingAggregator> self(this);
    const std::optional<QImage> image
        = co_await m_artwork.fetchArtwork(title, artist, album, sourceId, m_webArtworkURL);
    // Only the track the lookup was started for may receive its artwork.
    if (!self || !image || m_nowPlaying.sourceId != sourceId || m_nowPlaying.title != title)
        co_return;
    m_nowPlaying.artwork = image;
    Q_EMIT nowPlayingChanged();
}

void NowPlayingAggregator::togglePlayPause()
{
    const Source shown = shownSource(m_nowPlaying);
    if (shown.isDesktopSource())
        m_players.playPause(shown.rawValue());
    else if (m_webBridge)
        m_webBridge->send(m_nowPlaying.isPlaying ? u"pause"_s : u"play"_s, std::nullopt, shown);
}

void NowPlayingAggregator::nextTrack()
{
    const Source shown = shownSource(m_nowPlaying);
    if (shown.isDesktopSource())
        m_players.nextTrack(shown.rawValue());
    else if (m_webBridge)
        m_webBridge->send(u"next"_s, std::nullopt, shown);
}

void NowPlayingAggregator::previousTrack()
{
    const Source shown = shownSource(m_nowPlaying);
    if (shown.isDesktopSource())
        m_players.previousTrack(shown.rawValue());
    else if (m_webBridge)
        m_webBridge->send(u"previous"_s, std::nullopt, shown);
}

void NowPlayingAggregator::toggleShuffle()
{
    const Source shown = shownSource(m_nowPlaying);
    if (shown.rawValue().isEmpty())
        return;
    bool shuffle = !m_nowPlaying.shuffle;
    // Amazon Music's page reports its own shuffle state; guessing it here would flicker.
    if (shown != Source::AmazonMusic) {
        m_nowPlaying.shuffle = shuffle;
        Q_EMIT nowPlayingChanged();
    }
    if (shown.isDesktopSource())
        m_players.setShuffle(shown.rawValue(), shuffle);
    else if (m_webBridge)
        m_webBridge->send(u"shuffle"_s, std::nullopt, shown);
}

void NowPlayingAggregator::cycleRepeat()
{
    const Source shown = shownSource(m_nowPlaying);
    if (shown.rawValue().isEmpty())
        return;
    const int mode = SourceRouting::nextRepeatMode(shown, m_nowPlaying.repeatMode);
    m_nowPlaying.repeatMode = mode;
    Q_EMIT nowPlayingChanged();
    if (shown.isDesktopSource())
        m_players.setRepeatMode(shown.rawValue(), mode);
    else if (m_webBridge)
        m_webBridge->send(u"repeat"_s, double(mode), shown);
}

void NowPlayingAggregator::seek(double seconds)
{
    const Source shown = shownSource(m_nowPlaying);
    if (shown.rawValue().isEmpty() || !(m_nowPlaying.duration > 0) || std::isnan(seconds))
        return;
    const double clamped = std::clamp(seconds, 0.0, m_nowPlaying.duration);
    m_nowPlaying.elapsedTime = clamped;
    anchor(clamped);
    Q_EMIT nowPlayingChanged();
    if (shown.isDesktopSource())
        m_players.setPosition(shown.rawValue(), clamped);
    else if (m_webBridge)
        m_webBridge->send(u"seek"_s, clamped, shown);
}
