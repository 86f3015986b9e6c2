#pragma once

#include <QString>

// Keys of the user defaults domain. Every owner names its keys here so that no two writers
// collide.
namespace SettingsKeys {
inline const QString colorScheme = QStringLiteral("settings.colorScheme");
inline const QString liquidGlassEnabled = QStringLiteral("settings.liquidGlassEnabled");
inline const QString alwaysOnTop = QStringLiteral("settings.alwaysOnTop");
inline const QString scrobbleNowPlaying = QStringLiteral("settings.scrobbleNowPlaying");
inline const QString scrobbleHistory = QStringLiteral("settings.scrobbleHistory");
inline const QString scrobbleSources = QStringLiteral("settings.scrobbleSources");
inline const QString hotkeys = QStringLiteral("settings.hotkeys");
inline const QString autoCheckUpdates = QStringLiteral("settings.autoCheckUpdates");

// Per-source scrobble switches of earlier versions, folded into scrobbleSources.
inline const QString legacyScrobbleSourceSpotify = QStringLiteral("settings.scrobbleSourceSpotify");
inline const QString legacyScrobbleSourceAppleMusic
    = QStringLiteral("settings.scrobbleSourceAppleMusic");
inline const QString legacyScrobbleSourceYouTubeMusic
    = QStringLiteral("settings.scrobbleSourceYouTubeMusic");
inline const QString obsoleteWebSources = QStringLiteral("settings.webSources");

// Secrets of earlier versions, moved into the secret store.
inline const QString legacyLastfmSessionKey = QStringLiteral("lastfmSessionKey");
inline const QString legacySpotifyAccessToken = QStringLiteral("spotifyAccessToken");
inline const QString legacySpotifyRefreshToken = QStringLiteral("spotifyRefreshToken");

inline const QString browserSourceDefinitions = QStringLiteral("browserBridge.sourceDefinitions");
inline const QString lastfmUsername = QStringLiteral("lastfmUsername");
inline const QString lastfmAvatarURL = QStringLiteral("lastfmAvatarURL");
inline const QString lastfmScrobbleQueue = QStringLiteral("lastfmScrobbleQueue");
// The Last.fm user a queue kept after a revoked session belongs to, so that it is sent only
// when that same user signs in again.
inline const QString lastfmScrobbleQueueOwner = QStringLiteral("lastfmScrobbleQueueOwner");
inline const QString spotifyCustomClientID = QStringLiteral("spotifyCustomClientID");
inline const QString spotifyTokenExpiry = QStringLiteral("spotifyTokenExpiry");
inline const QString spotifyDisplayName = QStringLiteral("spotifyDisplayName");
inline const QString spotifyAvatarURL = QStringLiteral("spotifyAvatarURL");
inline const QString updateLastCheckDate = QStringLiteral("updateLastCheckDate");
inline const QString lockedSource = QStringLiteral("lockedSource");
} // namespace SettingsKeys
