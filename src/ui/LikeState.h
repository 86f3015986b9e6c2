#pragma once

#include <QObject>

#include <qcoro/qcorotask.h>

class DesktopPlayers;
class NowPlayingAggregator;
class SpotifyAuthService;
class SpotifyLibrary;
class WebBridge;

// Whether the track shown is liked, and the like toggle, for every kind of source: Spotify
// through the user's library, a web player through the extension. The state is learned again at
// every track change; a toggle shows at once and is not taken back when its request fails.
class LikeState : public QObject
{
    Q_OBJECT
public:
    LikeState(NowPlayingAggregator &nowPlaying, WebBridge &bridge, SpotifyAuthService &spotifyAuth,
              SpotifyLibrary &spotifyLibrary, DesktopPlayers &players, QObject *parent = nullptr);

    bool isLiked() const { return m_liked; }
    // The like control works for what is shown.
    bool isSupported() const;
    void toggle();

Q_SIGNALS:
    void likedChanged();
    // A Spotify like needs a connected account; the view asks the user.
    void spotifyConnectNeeded();

private:
    void onNowPlayingChanged();
    void refresh();
    void setLiked(bool liked);
    QCoro::Task<> learnSpotifyLiked(quint64 generation);
    QCoro::Task<> sendSpotifyLike(bool like);

    NowPlayingAggregator &m_nowPlaying;
    WebBridge &m_bridge;
    SpotifyAuthService &m_spotifyAuth;
    SpotifyLibrary &m_spotifyLibrary;
    DesktopPlayers &m_players;
    QString m_trackKey;
    bool m_liked = false;
    // Counts track changes, so that an answer about an earlier track is dropped.
    quint64 m_generation = 0;
};
