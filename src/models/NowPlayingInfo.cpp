#include "models/NowPlayingInfo.h"

MusicApp NowPlayingInfo::source() const
{
    return MusicApp::fromRawValue(bundleID).value_or(MusicApp(MusicApp::Unknown));
}

bool operator==(const NowPlayingInfo &lhs, const NowPlayingInfo &rhs)
{
    return lhs.title == rhs.title && lhs.artist == rhs.artist && lhs.isPlaying == rhs.isPlaying
        && lhs.bundleID == rhs.bundleID && lhs.capabilities == rhs.capabilities;
}
