#include "models/WebSourceDefinition.h"

using namespace Qt::StringLiterals;

QString webSupportLevelRawValue(WebSupportLevel level)
{
    return level == WebSupportLevel::Full ? u"full"_s : u"limited"_s;
}

std::optional<WebSupportLevel> webSupportLevelFromRawValue(const QString &rawValue)
{
    if (rawValue == u"full")
        return WebSupportLevel::Full;
    if (rawValue == u"limited")
        return WebSupportLevel::Limited;
    return std::nullopt;
}

bool operator==(const WebSourceDefinition &lhs, const WebSourceDefinition &rhs)
{
    return lhs.app == rhs.app && lhs.name == rhs.name && lhs.isGeneric == rhs.isGeneric
        && lhs.supportLevel == rhs.supportLevel && lhs.capabilities == rhs.capabilities;
}

std::optional<QUrl> webHomePage(const Source &app)
{
    QString address;
    switch (app.kind()) {
    case Source::YoutubeMusic:
        address = u"https://music.youtube.com/"_s;
        break;
    case Source::Youtube:
        address = u"https://www.youtube.com/"_s;
        break;
    case Source::SpotifyWeb:
        address = u"https://open.spotify.com/"_s;
        break;
    case Source::AppleMusicWeb:
        address = u"https://music.apple.com/"_s;
        break;
    case Source::SoundCloud:
        address = u"https://soundcloud.com/"_s;
        break;
    case Source::Bandcamp:
        address = u"https://bandcamp.com/"_s;
        break;
    case Source::Tidal:
        address = u"https://listen.tidal.com/"_s;
        break;
    case Source::Deezer:
        address = u"https://www.deezer.com/"_s;
        break;
    case Source::Netease:
        address = u"https://music.163.com/"_s;
        break;
    case Source::QqMusic:
        // QQ Music's root is a portal; its web player lives under this path.
        address = u"https://y.qq.com/n/ryqq_v2/player"_s;
        break;
    case Source::AmazonMusic:
        address = u"https://music.amazon.com/"_s;
        break;
    case Source::Pandora:
        address = u"https://www.pandora.com/"_s;
        break;
    case Source::Generic:
    case Source::Spotify:
    case Source::AppleMusic:
    case Source::Unknown:
        return std::nullopt;
    }
    return QUrl(address);
}
