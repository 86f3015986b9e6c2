#pragma once

#include "models/RepeatMode.h"
#include "models/SourceCapabilities.h"

#include <QString>

// The last reported state of one web player, as the browser extension sends it.
struct WebPlayerState
{
    QString source = QStringLiteral("ytmusic"); // the site's bridge name
    QString title;
    QString artist;
    QString album;
    QString artworkURL;
    double duration = 0; // seconds
    double position = 0; // seconds
    bool isPlaying = false;
    bool shuffle = false;
    int repeatMode = RepeatMode::Off;
    bool liked = false;
    SourceCapabilities capabilities;
    QString siteName;
    QString faviconURL;
};
