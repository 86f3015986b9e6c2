#include "models/MusicApp.h"

#include <QStringView>

#include <array>

using namespace Qt::StringLiterals;

namespace {

constexpr QStringView genericRawPrefix = u"com.vesper.web.generic.";
constexpr QStringView genericBridgePrefix = u"generic:";

struct CaseStrings
{
    MusicApp::Kind kind;
    QStringView rawValue;
    QStringView bridgeSource; // empty: the case has no bridge name
    QStringView displayName;
};

// Every case but Generic, in declaration order.
constexpr std::array<CaseStrings, 15> dedicated { {
    { MusicApp::Spotify, u"com.spotify.client", {}, u"Spotify" },
    { MusicApp::AppleMusic, u"com.apple.Music", {}, u"Music" },
    { MusicApp::YoutubeMusic, u"com.vesper.web.ytmusic", u"ytmusic", u"YouTube Music" },
    { MusicApp::Youtube, u"com.vesper.web.youtube", u"youtube", u"YouTube" },
    { MusicApp::SpotifyWeb, u"com.vesper.web.spotify", u"spotifyweb", u"Spotify Web Player" },
    { MusicApp::AppleMusicWeb, u"com.vesper.web.applemusic", u"applemusicweb", u"Apple Music Web" },
    { MusicApp::SoundCloud, u"com.vesper.web.soundcloud", u"soundcloud", u"SoundCloud" },
    { MusicApp::Bandcamp, u"com.vesper.web.bandcamp", u"bandcamp", u"Bandcamp" },
    { MusicApp::Tidal, u"com.vesper.web.tidal", u"tidal", u"Tidal" },
    { MusicApp::Deezer, u"com.vesper.web.deezer", u"deezer", u"Deezer" },
    { MusicApp::Netease, u"com.vesper.web.netease", u"netease", u"NetEase Cloud Music" },
    { MusicApp::QqMusic, u"com.vesper.web.qqmusic", u"qqmusic", u"QQ Music" },
    { MusicApp::AmazonMusic, u"com.vesper.web.amazonmusic", u"amazonmusic", u"Amazon Music" },
    { MusicApp::Pandora, u"com.vesper.web.pandora", u"pandora", u"Pandora" },
    { MusicApp::Unknown, u"", {}, u"" },
} };

const CaseStrings &stringsFor(MusicApp::Kind kind)
{
    // The table starts at Spotify, the case after Generic.
    Q_ASSERT(kind != MusicApp::Generic);
    return dedicated[static_cast<size_t>(kind) - 1];
}

// A URL the favicon loader can be handed, or none for text that does not parse.
std::optional<QUrl> urlFromText(const std::optional<QString> &text)
{
    if (!text || text->isEmpty())
        return std::nullopt;
    const QUrl url(*text, QUrl::StrictMode);
    if (!url.isValid())
        return std::nullopt;
    return url;
}

std::optional<QString> lookup(const QHash<QString, QString> &registry, const QString &key)
{
    const auto it = registry.constFind(key);
    if (it == registry.cend())
        return std::nullopt;
    return *it;
}

} // namespace

MusicApp::MusicApp() : m_kind(Unknown) { }

MusicApp::MusicApp(Kind kind) : m_kind(kind) { }

MusicApp MusicApp::generic(const QString &host)
{
    MusicApp app(Generic);
    app.m_host = host;
    return app;
}

QList<MusicApp> MusicApp::dedicatedCases()
{
    QList<MusicApp> cases;
    cases.reserve(static_cast<qsizetype>(dedicated.size()));
    for (const CaseStrings &entry : dedicated)
        cases.append(MusicApp(entry.kind));
    return cases;
}

std::optional<MusicApp> MusicApp::fromRawValue(const QString &rawValue)
{
    for (const CaseStrings &entry : dedicated) {
        if (rawValue == entry.rawValue)
            return MusicApp(entry.kind);
    }
    // The bare prefix names no site, so it is no source.
    if (rawValue.size() > genericRawPrefix.size() && rawValue.startsWith(genericRawPrefix))
        return generic(rawValue.mid(genericRawPrefix.size()));
    return std::nullopt;
}

std::optional<MusicApp> MusicApp::fromBridgeSource(const QString &bridgeSource)
{
    for (const CaseStrings &entry : dedicated) {
        if (!entry.bridgeSource.isEmpty() && bridgeSource == entry.bridgeSource)
            return MusicApp(entry.kind);
    }
    if (bridgeSource.size() > genericBridgePrefix.size()
        && bridgeSource.startsWith(genericBridgePrefix))
        return generic(bridgeSource.mid(genericBridgePrefix.size()));
    return std::nullopt;
}

QString MusicApp::rawValue() const
{
    if (m_kind == Generic)
        return genericRawPrefix % m_host;
    return stringsFor(m_kind).rawValue.toString();
}

std::optional<QString> MusicApp::bridgeSource() const
{
    if (m_kind == Generic)
        return QString(genericBridgePrefix % m_host);
    const QStringView name = stringsFor(m_kind).bridgeSource;
    if (name.isEmpty())
        return std::nullopt;
    return name.toString();
}

QString MusicApp::displayName() const
{
    if (m_kind != Generic)
        return stringsFor(m_kind).displayName.toString();

    const QString siteName = genericSiteNames().value(m_host);
    if (!siteName.isEmpty())
        return siteName;
    // A host that is nothing but "www." would otherwise show as a blank row.
    if (m_host.startsWith(u"www.") && m_host.size() > 4)
        return m_host.mid(4);
    return m_host;
}

std::optional<QUrl> MusicApp::faviconURL() const
{
    if (m_kind == Generic)
        return urlFromText(lookup(genericFaviconURLs(), m_host));
    return urlFromText(lookup(webFaviconURLs(), rawValue()));
}

bool MusicApp::isNativeSource() const
{
    return m_kind == Spotify || m_kind == AppleMusic || m_kind == Unknown;
}

QHash<QString, QString> &MusicApp::genericSiteNames()
{
    static QHash<QString, QString> registry;
    return registry;
}

QHash<QString, QString> &MusicApp::genericFaviconURLs()
{
    static QHash<QString, QString> registry;
    return registry;
}

QHash<QString, QString> &MusicApp::webFaviconURLs()
{
    static QHash<QString, QString> registry;
    return registry;
}

bool operator==(const MusicApp &lhs, const MusicApp &rhs)
{
    return lhs.rawValue() == rhs.rawValue();
}

size_t qHash(const MusicApp &app, size_t seed) { return qHash(app.rawValue(), seed); }
