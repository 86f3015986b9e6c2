#pragma once

#include "models/Source.h"
#include "models/WebPlayerState.h"
#include "models/WebSites.h"

#include <QList>
#include <QSet>

#include <optional>

// What the now-playing aggregator needs of the browser bridge: the web players' states, which
// sites are open or known, and a way to send them commands.
class WebBridge
{
public:
    virtual ~WebBridge() = default;

    virtual bool isConnected() const = 0;
    virtual std::optional<WebPlayerState> lastState() const = 0;
    virtual std::optional<WebPlayerState> state(const Source &source) const = 0;
    virtual QSet<Source> openSources() const = 0;
    // The sources of the catalogue's definitions, in catalogue order.
    virtual QList<Source> definedSources() const = 0;
    // The names and favicons the extension gave for its sites.
    virtual const WebSites &webSites() const = 0;
    // Dropped when no extension is connected.
    virtual void send(const QString &action, std::optional<double> value, const Source &target) = 0;
};
