#pragma once

#include "models/RawNowPlaying.h"

#include <qcoro/qcorotask.h>

class DesktopPlayers;
struct DesktopTrack;

// Reads the desktop players into snapshots the aggregator can apply.
class ScriptBridge
{
public:
    explicit ScriptBridge(DesktopPlayers &players) : m_players(players) { }

    QCoro::Task<RawNowPlaying> spotifyState();
    QCoro::Task<RawNowPlaying> appleMusicState();

    // A track with a title becomes a snapshot with transport info; anything else the empty one.
    static RawNowPlaying rawNowPlaying(const DesktopTrack &track);

private:
    DesktopPlayers &m_players;
};
