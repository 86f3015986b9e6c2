#include "ui/PlayerPresentation.h"

#include "models/WebSourceDefinition.h"

#include <cmath>

using namespace Qt::StringLiterals;

namespace PlayerPresentation {

QString trackKey(const NowPlayingInfo &info) { return info.title + u'|' + info.artist; }

Source currentSource(const NowPlayingInfo &info, const std::optional<Source> &locked)
{
    if (locked)
        return *locked;
    return Source::fromRawValue(info.sourceId).value_or(Source(Source::Unknown));
}

double progress(double elapsed, double duration)
{
    if (!(duration > 0) || !std::isfinite(elapsed))
        return 0;
    return std::clamp(elapsed / duration, 0.0, 1.0);
}

QString formatTime(double seconds)
{
    // An infinite time must never reach the integer conversion.
    if (!(seconds > 0) || !std::isfinite(seconds))
        return u"0:00"_s;
    const auto whole = qint64(std::min(std::trunc(seconds), 9.0e15));
    return u"%1:%2"_s.arg(whole / 60).arg(whole % 60, 2, 10, QLatin1Char('0'));
}

double seekFraction(double x, double width)
{
    if (!(width > 0) || !std::isfinite(x))
        return 0;
    return std::clamp(x / width, 0.0, 1.0);
}

bool likeSupported(const NowPlayingInfo &info, bool spotifyClientIdSet)
{
    if (!info.capabilities.testFlag(SourceCapability::Like))
        return false;
    const std::optional<Source> source = Source::fromRawValue(info.sourceId);
    if (!source)
        return false;
    switch (source->kind()) {
    case Source::Spotify:
        return spotifyClientIdSet;
    case Source::Unknown:
        return false;
    default:
        return true;
    }
}

QString likeIcon(const NowPlayingInfo &info, bool liked)
{
    QString name = u"heart"_s;
    switch (info.source().kind()) {
    case Source::AppleMusic:
        name = u"star"_s;
        break;
    case Source::YoutubeMusic:
    case Source::Youtube:
    case Source::Pandora:
        name = u"thumbs-up"_s;
        break;
    default:
        break;
    }
    return liked ? name + u"-fill"_s : name;
}

QString repeatIcon(int repeatMode)
{
    return repeatMode == RepeatMode::One ? u"repeat-one"_s : u"repeat"_s;
}

Artwork artwork(const NowPlayingInfo &info, bool anySourceAvailable)
{
    if (info.artwork && !info.artwork->isNull())
        return Artwork::Image;
    if (info.title.isEmpty() && !anySourceAvailable)
        return Artwork::NoSource;
    return Artwork::Placeholder;
}

QString placeholderIcon(const Source &source)
{
    if (source.kind() == Source::Unknown)
        return u"music-note"_s;
    return source.isDesktopSource() ? u"desktop-player"_s : u"browser"_s;
}

bool showsSourceBadge(const NowPlayingInfo &info, bool anySourceAvailable)
{
    return !info.title.isEmpty() || anySourceAvailable;
}

QString sourceItemLabel(const SourceListItem &item, MenuStyle style)
{
    const QString name = item.app.displayName();
    if (!item.statusNote)
        return name;
    return name + (style == MenuStyle::Tray ? u" ("_s : u"("_s) + *item.statusNote + u')';
}

std::optional<QUrl> webPageOf(const Source &source)
{
    if (source.kind() == Source::Generic) {
        if (source.host().isEmpty())
            return std::nullopt;
        const QUrl site(u"https://"_s + source.host() + u'/');
        return site.isValid() ? std::optional<QUrl>(site) : std::nullopt;
    }
    return webHomePage(source);
}

bool canLearnControls(const Source &source) { return source.kind() == Source::Generic; }

} // namespace PlayerPresentation
