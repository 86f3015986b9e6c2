#include "models/Source.h"

#include <QStringView>

#include <array>

using namespace Qt::StringLiterals;

namespace {

constexpr QStringView genericRawPrefix = u"com.vesper.web.generic.";
constexpr QStringView genericBridgePrefix = u"generic:";

struct CaseStrings
{
    Source::Kind kind;
    QStringView rawValue;
    QStringView bridgeSource; // empty: the case has no bridge name
    QStringView displayName;
};

// Every case but Generic, in declaration order.
constexpr std::array<CaseStrings, 15> dedicated { {
    { Source::Spotify, u"com.spotify.client", {}, u"Spotify" },
    { Source::AppleMusic, u"com.apple.Music", {}, u"Music" },
    { Source::YoutubeMusic, u"com.vesper.web.ytmusic", u"ytmusic", u"YouTube Music" },
    { Source::Youtube, u"com.vesper.web.youtube", u"youtube", u"YouTube" },
    { Source::SpotifyWeb, u"com.vesper.web.spotify", u"spotifyweb", u"Spotify Web Player" },
    { Source::AppleMusicWeb, u"com.vesper.web.applemusic", u"applemusicweb", u"Apple Music Web" },
    { Source::SoundCloud, u"com.vesper.web.soundcloud", u"soundcloud", u"SoundCloud" },
    { Source::Bandcamp, u"com.vesper.web.bandcamp", u"bandcamp", u"Bandcamp" },
    { Source::Tidal, u"com.vesper.web.tidal", u"tidal", u"Tidal" },
    { Source::Deezer, u"com.vesper.web.deezer", u"deezer", u"Deezer" },
    { Source::Netease, u"com.vesper.web.netease", u"netease", u"NetEase Cloud Music" },
    { Source::QqMusic, u"com.vesper.web.qqmusic", u"qqmusic", u"QQ Music" },
    { Source::AmazonMusic, u"com.vesper.web.amazonmusic", u"amazonmusic", u"Amazon Music" },
    { Source::Pandora, u"com.vesper.web.pandora", u"pandora", u"Pandora" },
    { Source::Unknown, u"", {}, u"" },
} };

const CaseStrings &stringsFor(Source::Kind kind)
{
    // The table starts at Spotify, the case after Generic.
    Q_ASSERT(kind != Source::Generic);
    return dedicated[static_cast<size_t>(kind) - 1];
}

} // namespace

Source::Source() : m_kind(Unknown) { }

Source::Source(Kind kind) : m_kind(kind) { }

Source Source::generic(const QString &host)
{
    Source app(Generic);
    app.m_host = host;
    return app;
}

QList<Source> Source::dedicatedCases()
{
    QList<Source> cases;
    cases.reserve(static_cast<qsizetype>(dedicated.size()));
    for (const CaseStrings &entry : dedicated)
        cases.append(Source(entry.kind));
    return cases;
}

std::optional<Source> Source::fromRawValue(const QString &rawValue)
{
    for (const CaseStrings &entry : dedicated) {
        if (rawValue == entry.rawValue)
            return Source(entry.kind);
    }
    // The bare prefix names no site, so it is no source.
    if (rawValue.size() > genericRawPrefix.size() && rawValue.startsWith(genericRawPrefix))
        return generic(rawValue.mid(genericRawPrefix.size()));
    return std::nullopt;
}

std::optional<Source> Source::fromBridgeSource(const QString &bridgeSource)
{
    for (const CaseStrings &entry : dedicated) {
        if (!entry.bridgeSource.isEmpty() && bridgeSource == entry.bridgeSource)
            return Source(entry.kind);
    }
    if (bridgeSource.size() > genericBridgePrefix.size()
        && bridgeSource.startsWith(genericBridgePrefix))
        return generic(bridgeSource.mid(genericBridgePrefix.size()));
    return std::nullopt;
}

QString Source::rawValue() const
{
    if (m_kind == Generic)
        return genericRawPrefix % m_host;
    return stringsFor(m_kind).rawValue.toString();
}

std::optional<QString> Source::bridgeSource() const
{
    if (m_kind == Generic)
        return QString(genericBridgePrefix % m_host);
    const QStringView name = stringsFor(m_kind).bridgeSource;
    if (name.isEmpty())
        return std::nullopt;
    return name.toString();
}

QString Source::displayName() const
{
    if (m_kind != Generic)
        return stringsFor(m_kind).displayName.toString();
    // A host that is nothing but "www." would otherwise show as a blank row.
    if (m_host.startsWith(u"www.") && m_host.size() > 4)
        return m_host.mid(4);
    return m_host;
}

bool Source::isDesktopSource() const
{
    return m_kind == Spotify || m_kind == AppleMusic || m_kind == Unknown;
}

bool operator==(const Source &lhs, const Source &rhs) { return lhs.rawValue() == rhs.rawValue(); }

size_t qHash(const Source &app, size_t seed) { return qHash(app.rawValue(), seed); }
