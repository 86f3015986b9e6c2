#pragma once

#include "nowplaying/WebBridge.h"

#include <QStringList>

// The browser bridge as the aggregator sees it: states and open sites set by the test, commands
// recorded as "action target value".
class FakeWebBridge : public WebBridge
{
public:
    bool connected = true;
    std::optional<WebPlayerState> last;
    QHash<QString, WebPlayerState> states; // by source raw value
    QSet<Source> open;
    QList<Source> defined;
    WebSites sites;
    QStringList sent;

    bool isConnected() const override { return connected; }
    std::optional<WebPlayerState> lastState() const override { return last; }
    std::optional<WebPlayerState> state(const Source &source) const override
    {
        return states.contains(source.rawValue()) ? std::optional(states[source.rawValue()])
                                                  : std::nullopt;
    }
    QSet<Source> openSources() const override { return open; }
    QList<Source> definedSources() const override { return defined; }
    const WebSites &webSites() const override { return sites; }
    void send(const QString &action, std::optional<double> value, const Source &target) override
    {
        sent << action + u' ' + target.rawValue()
                + (value ? u' ' + QString::number(*value) : QString());
    }
};
