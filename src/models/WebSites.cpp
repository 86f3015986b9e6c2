#include "models/WebSites.h"

namespace {
// A URL the favicon loader can be handed, or none for text that does not parse.
std::optional<QUrl> urlFromText(const QString &text)
{
    if (text.isEmpty())
        return std::nullopt;
    const QUrl url(text, QUrl::StrictMode);
    if (!url.isValid())
        return std::nullopt;
    return url;
}
} // namespace

QString WebSites::displayName(const Source &source) const
{
    if (source.kind() == Source::Generic) {
        const QString siteName = genericNames.value(source.host());
        if (!siteName.isEmpty())
            return siteName;
    }
    return source.displayName();
}

std::optional<QUrl> WebSites::faviconURL(const Source &source) const
{
    if (source.kind() == Source::Generic)
        return urlFromText(genericFavicons.value(source.host()));
    return urlFromText(favicons.value(source.rawValue()));
}
