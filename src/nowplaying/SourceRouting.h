#pragma once

#include "models/NowPlayingInfo.h"
#include "models/Source.h"
#include "models/SourceListItem.h"
#include "models/WebPlayerState.h"
#include "models/WebSites.h"

#include <QList>
#include <QSet>

#include <optional>

// The rules that decide which source the aggregator shows, as pure functions.
namespace SourceRouting {

enum class Verdict { Accepted, RejectedByLock, RejectedPaused };

// The shown source of a record: the source of its id, unknown when it has none.
Source shownSource(const NowPlayingInfo &info);

QString trackKey(const QString &title, const QString &artist);

// The central gate: a lock admits only its own source; in automatic mode a paused report never
// takes the display away from another source that shows a track.
Verdict admit(const std::optional<Source> &lock, const QString &incomingSourceId,
              bool incomingPlaying, const NowPlayingInfo &shown);

enum class WebVerdict {
    Accepted,
    RejectedByNativeLock,
    RejectedByWebLock,
    RejectedPaused,
    Missing
};

// The checks a web report passes before it reaches the gate.
WebVerdict admitWeb(const std::optional<Source> &lock, const std::optional<WebPlayerState> &state,
                    const NowPlayingInfo &shown);

// Repeat cycles 0 → 2 → 1 → 0, except on Spotify, which knows no "repeat one": 0 → 2 → 0.
int nextRepeatMode(const Source &source, int mode);

// The source chooser's rows: the desktop players, then (with the extension connected) the
// catalogue's sites, then the open generic sites sorted by the names the sites gave.
QList<SourceListItem> sourceList(const QSet<QString> &runningSourceIds, bool bridgeConnected,
                                 const QList<Source> &definedSources,
                                 const QSet<Source> &openSources, const WebSites &sites);

} // namespace SourceRouting
