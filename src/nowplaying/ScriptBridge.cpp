#include "nowplaying/ScriptBridge.h"

#include "platform/DesktopPlayers.h"

QCoro::Task<RawNowPlaying> ScriptBridge::spotifyState()
{
    co_return rawNowPlaying(co_await m_players.spotifyState());
}

QCoro::Task<RawNowPlaying> ScriptBridge::appleMusicState()
{
    co_return rawNowPlaying(co_await m_players.appleMusicState());
}

RawNowPlaying ScriptBridge::rawNowPlaying(const DesktopTrack &track)
{
    if (track.title.isEmpty())
        return {};
    return RawNowPlaying { track.isPlaying, track.title,      track.artist,
                           track.album,     track.duration,   track.elapsed,
                           track.shuffle,   track.repeatMode, true };
}
