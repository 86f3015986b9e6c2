#pragma once

#include "models/RepeatMode.h"

#include <QString>

// One player's state as read, before it is applied: by a desktop player's reader or from a web
// player's report. An empty title means no track is loaded.
struct RawNowPlaying
{
    bool isPlaying = false;
    QString title;
    QString artist;
    QString album;
    double duration = 0; // seconds
    double elapsed = 0; // seconds
    bool shuffle = false;
    int repeatMode = RepeatMode::Off;
    // Whether shuffle and repeatMode were actually read and may replace the published ones.
    bool hasTransportInfo = false;

    friend bool operator==(const RawNowPlaying &, const RawNowPlaying &) = default;
};
