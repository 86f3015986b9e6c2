#pragma once

#include <QUrl>

// The origins of the online services. Each can be replaced for tests by an environment variable
// that gives scheme, host and port only; the paths stay the callers'.
namespace Endpoints {
QUrl lrclib(); // VESPER_LRCLIB_URL
QUrl itunes(); // VESPER_ITUNES_URL
QUrl lastfmApi(); // VESPER_LASTFM_API_URL
QUrl lastfmAuth(); // VESPER_LASTFM_AUTH_URL
QUrl spotifyAccounts(); // VESPER_SPOTIFY_ACCOUNTS_URL
QUrl spotifyApi(); // VESPER_SPOTIFY_API_URL
// The product site (manifest, download and extension pages); empty when the build names none.
QUrl updateSite(); // VESPER_UPDATE_URL

// The origin named by the variable when it holds a valid one, else the fallback.
QUrl resolve(const char *variable, const QUrl &fallback);
} // namespace Endpoints
