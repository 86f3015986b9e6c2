#include "core/Endpoints.h"

#include "Version.h"
#include "core/Log.h"

using namespace Qt::StringLiterals;

namespace Endpoints {

QUrl resolve(const char *variable, const QUrl &fallback)
{
    const QString text = qEnvironmentVariable(variable).trimmed();
    if (text.isEmpty())
        return fallback;
    QUrl url(text, QUrl::StrictMode);
    const bool isOrigin = url.isValid() && !url.host().isEmpty()
        && (url.scheme() == u"http"_s || url.scheme() == u"https"_s)
        && (url.path().isEmpty() || url.path() == u"/"_s) && !url.hasQuery() && !url.hasFragment()
        && url.userInfo().isEmpty();
    if (!isOrigin) {
        plainLog(u"Vesper: ignoring %1=%2: it must be scheme, host and port only"_s.arg(
            QLatin1String(variable), text));
        return fallback;
    }
    url.setPath(QString());
    return url;
}

QUrl lrclib() { return resolve("VESPER_LRCLIB_URL", QUrl(u"https://lrclib.net"_s)); }

QUrl itunes() { return resolve("VESPER_ITUNES_URL", QUrl(u"https://itunes.apple.com"_s)); }

QUrl lastfmApi()
{
    return resolve("VESPER_LASTFM_API_URL", QUrl(u"https://ws.audioscrobbler.com"_s));
}

QUrl lastfmAuth() { return resolve("VESPER_LASTFM_AUTH_URL", QUrl(u"https://www.last.fm"_s)); }

QUrl spotifyAccounts()
{
    return resolve("VESPER_SPOTIFY_ACCOUNTS_URL", QUrl(u"https://accounts.spotify.com"_s));
}

QUrl spotifyApi() { return resolve("VESPER_SPOTIFY_API_URL", QUrl(u"https://api.spotify.com"_s)); }

QUrl updateSite() { return resolve("VESPER_UPDATE_URL", QUrl(QStringLiteral(VESPER_UPDATE_SITE))); }

} // namespace Endpoints
