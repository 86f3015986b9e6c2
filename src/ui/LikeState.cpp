#include "ui/LikeState.h"

#include "nowplaying/NowPlayingAggregator.h"
#include "nowplaying/WebBridge.h"
#include "platform/DesktopPlayers.h"
#include "spotify/SpotifyAuthService.h"
#include "spotify/SpotifyLibrary.h"
#include "ui/PlayerPresentation.h"

#include <QPointer>

using namespace Qt::StringLiterals;

LikeState::LikeState(NowPlayingAggregator &nowPlaying, WebBridge &bridge,
                     SpotifyAuthService &spotifyAuth, SpotifyLibrary &spotifyLibrary,
                     DesktopPlayers &players, QObject *parent)
    : QObject(parent), m_nowPlaying(nowPlaying), m_bridge(bridge), m_spotifyAuth(spotifyAuth),
      m_spotifyLibrary(spotifyLibrary), m_players(players),
      m_trackKey(PlayerPresentation::trackKey(nowPlaying.nowPlaying()))
{
    connect(&m_nowPlaying, &NowPlayingAggregator::nowPlayingChanged, this,
            &LikeState::onNowPlayingChanged);
}

bool LikeState::isSupported() const
{
    const std::optional<QString> clientId = m_spotifyAuth.customClientID();
    return PlayerPresentation::likeSupported(m_nowPlaying.nowPlaying(),
                                             clientId && !clientId->isEmpty());
}

void LikeState::onNowPlayingChanged()
{
    const QString key = PlayerPresentation::trackKey(m_nowPlaying.nowPlaying());
    if (key == m_trackKey)
        return;
    m_trackKey = key;
    refresh();
}

void LikeState::refresh()
{
    ++m_generation;
    setLiked(false);
    const NowPlayingInfo &info = m_nowPlaying.nowPlaying();
    if (info.title.isEmpty())
        return;
    const Source source = info.source();
    if (source.kind() == Source::Spotify) {
        if (m_spotifyAuth.accessToken())
            learnSpotifyLiked(m_generation);
    } else if (!source.isDesktopSource() && source.kind() != Source::Generic) {
        const std::optional<WebPlayerState> state = m_bridge.lastState();
        setLiked(state && state->liked);
    }
}

QCoro::Task<> LikeState::learnSpotifyLiked(quint64 generation)
{
    QPointer<LikeState> self(this);
    const std::optional<QString> trackId = co_await m_players.spotifyTrackID();
    if (!self || generation != m_generation || !trackId)
        co_return;
    const bool liked = co_await m_spotifyLibrary.isLiked(*trackId);
    if (self && generation == m_generation)
        setLiked(liked);
}

void LikeState::toggle()
{
    const Source source = m_nowPlaying.nowPlaying().source();
    if (source.kind() == Source::Spotify && !m_spotifyAuth.accessToken()) {
        Q_EMIT spotifyConnectNeeded();
        return;
    }
    const bool liked = !m_liked;
    setLiked(liked);
    if (source.kind() == Source::Spotify)
        sendSpotifyLike(liked);
    else if (!source.isDesktopSource())
        m_bridge.send(u"like"_s, std::nullopt, source);
}

QCoro::Task<> LikeState::sendSpotifyLike(bool like)
{
    QPointer<LikeState> self(this);
    const std::optional<QString> trackId = co_await m_players.spotifyTrackID();
    if (!self || !trackId)
        co_return;
    if (like)
        co_await m_spotifyLibrary.like(*trackId);
    else
        co_await m_spotifyLibrary.unlike(*trackId);
}

void LikeState::setLiked(bool liked)
{
    if (m_liked == liked)
        return;
    m_liked = liked;
    Q_EMIT likedChanged();
}
