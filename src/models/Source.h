#pragma once

#include <QHash>
#include <QList>
#include <QString>
#include <QUrl>

#include <optional>

// A playback source: one of the desktop players, a web player with its own case, any other web
// player by host name (Generic), or Unknown when no source is known. Values compare and hash by
// their raw value, the source id that settings and the browser bridge store.
class Source
{
public:
    // Cases in their stored order.
    enum Kind {
        Generic,
        Spotify,
        AppleMusic,
        YoutubeMusic,
        Youtube,
        SpotifyWeb,
        AppleMusicWeb,
        SoundCloud,
        Bandcamp,
        Tidal,
        Deezer,
        Netease,
        QqMusic,
        AmazonMusic,
        Pandora,
        Unknown
    };

    Source();
    // Implicit so that a case reads as a value (app == Source::Spotify). Generic sources are
    // made with generic(); Source(Generic) is a generic source without a host.
    Source(Kind kind);
    static Source generic(const QString &host);

    // Every case but Generic, in declaration order.
    static QList<Source> dedicatedCases();

    static std::optional<Source> fromRawValue(const QString &rawValue);
    static std::optional<Source> fromBridgeSource(const QString &bridgeSource);

    Kind kind() const { return m_kind; }
    // The web site's host for Generic, empty for every other case.
    QString host() const { return m_host; }

    QString rawValue() const;
    std::optional<QString> bridgeSource() const;
    // The case's own name; a generic site's host without "www." (the browser bridge's WebSites
    // knows the names sites give themselves).
    QString displayName() const;

    // Spotify, AppleMusic and Unknown are routed as desktop sources; everything else is served
    // by the browser bridge.
    bool isDesktopSource() const;

private:
    Kind m_kind;
    QString m_host;
};

bool operator==(const Source &lhs, const Source &rhs);
size_t qHash(const Source &app, size_t seed = 0);
