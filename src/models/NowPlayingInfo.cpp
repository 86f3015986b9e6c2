#include "models/NowPlayingInfo.h"

Source NowPlayingInfo::source() const
{
    return Source::fromRawValue(sourceId).value_or(Source(Source::Unknown));
}

bool operator==(const NowPlayingInfo &lhs, const NowPlayingInfo &rhs)
{
    return lhs.title == rhs.title && lhs.artist == rhs.artist && lhs.isPlaying == rhs.isPlaying
        && lhs.sourceId == rhs.sourceId && lhs.capabilities == rhs.capabilities;
}
