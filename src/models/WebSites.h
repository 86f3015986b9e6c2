#pragma once

#include "models/Source.h"

#include <QHash>
#include <QString>
#include <QUrl>

#include <optional>

// What the browser extension has said about web sites: the names of generic sites and the
// favicons of every site. The browser bridge keeps it; a site it knows nothing of shows the name
// its source gives.
struct WebSites
{
    QHash<QString, QString> genericNames; // host → site name
    QHash<QString, QString> genericFavicons; // host → favicon URL text
    QHash<QString, QString> favicons; // source raw value → favicon URL text

    QString displayName(const Source &source) const;
    std::optional<QUrl> faviconURL(const Source &source) const;
};
