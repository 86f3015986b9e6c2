#pragma once

#include "models/RepeatMode.h"
#include "models/Source.h"
#include "models/SourceCapabilities.h"

#include <QImage>
#include <QString>

#include <optional>

// The normalized record of what is shown. The default value is the empty record published when
// nothing plays.
struct NowPlayingInfo
{
    QString title; // empty: nothing is shown
    QString artist;
    QString album;
    std::optional<QImage> artwork;
    bool isPlaying = false;
    double duration = 0; // seconds; 0 when unknown
    double elapsedTime = 0; // seconds
    QString sourceId; // rawValue of the source; empty when nothing is shown
    bool shuffle = false;
    int repeatMode = RepeatMode::Off;
    SourceCapabilities capabilities = allSourceCapabilities;

    // The source named by sourceId, Unknown when it names none.
    Source source() const;
};

// Only what observers react to takes part: a record that moved on in position, or gained its
// artwork or album, is the same record.
bool operator==(const NowPlayingInfo &lhs, const NowPlayingInfo &rhs);
