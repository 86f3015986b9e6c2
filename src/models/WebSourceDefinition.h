#pragma once

#include "models/Source.h"
#include "models/SourceCapabilities.h"

#include <QString>
#include <QUrl>

#include <optional>

// How well the browser extension supports a site. Stored and sent by its raw value.
enum class WebSupportLevel { Full, Limited };

QString webSupportLevelRawValue(WebSupportLevel level);
// None for any text but "full" and "limited".
std::optional<WebSupportLevel> webSupportLevelFromRawValue(const QString &rawValue);

// One entry of the catalogue of web sources the browser extension announces.
struct WebSourceDefinition
{
    Source app;
    QString name;
    bool isGeneric = false; // handled by the extension's generic adapter
    WebSupportLevel supportLevel = WebSupportLevel::Full;
    SourceCapabilities capabilities;
};

bool operator==(const WebSourceDefinition &lhs, const WebSourceDefinition &rhs);

// The web player a dedicated web source opens in the browser; none for desktop players, generic
// sites and Unknown.
std::optional<QUrl> webHomePage(const Source &app);
