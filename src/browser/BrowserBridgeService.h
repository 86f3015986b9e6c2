#pragma once

#include "browser/BridgeProtocol.h"
#include "browser/BridgeTransport.h"
#include "models/Source.h"
#include "models/WebPlayerState.h"
#include "models/WebSourceDefinition.h"
#include "nowplaying/WebBridge.h"

#include <QHash>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QSet>

#include <optional>

class SettingsStore;

// The browser bridge: the companion extension connects to a loopback WebSocket server, says
// hello, and reports which music sites are open, the catalogue of sites it supports, the user's
// setup and the playback state of the site it follows. What it learns it announces as signals;
// commands for web players come in through send().
class BrowserBridgeService : public QObject, public WebBridge
{
    Q_OBJECT
    Q_PROPERTY(bool isConnected READ isConnected NOTIFY isConnectedChanged)
    Q_PROPERTY(std::optional<WebPlayerState> lastState READ lastState NOTIFY lastStateChanged)
    Q_PROPERTY(QHash<Source, WebPlayerState> statesBySource READ statesBySource NOTIFY
                   statesBySourceChanged)
    Q_PROPERTY(QSet<Source> openSources READ openSources NOTIFY openSourcesChanged)
    Q_PROPERTY(QSet<Source> pageSources READ pageSources NOTIFY pageSourcesChanged)
    Q_PROPERTY(bool setupCompleted READ setupCompleted NOTIFY setupCompletedChanged)
    Q_PROPERTY(
        QList<Source> configuredSources READ configuredSources NOTIFY configuredSourcesChanged)
    Q_PROPERTY(QList<WebSourceDefinition> sourceDefinitions READ sourceDefinitions NOTIFY
                   sourceDefinitionsChanged)

public:
    // The ports tried in order; the first free one is used.
    static const QList<quint16> &defaultPorts();
    // The origins of the published extension and of its development build, derived from their
    // public keys in extension/keys/.
    static const QStringList &allowedOrigins();

    explicit BrowserBridgeService(SettingsStore &defaults, QList<quint16> ports = defaultPorts(),
                                  BridgeTransport::Limits limits = {}, QObject *parent = nullptr);
    ~BrowserBridgeService() override;

    // Listens on the port at that index of the port list, moving on to the next when it cannot
    // be used; past the last the bridge stays off for the run.
    void startListener(int portIndex);
    // The port listened on, none while not listening.
    std::optional<quint16> listeningPort() const;

    bool isConnected() const override { return m_isConnected; }
    std::optional<WebPlayerState> lastState() const override { return m_lastState; }
    QHash<Source, WebPlayerState> statesBySource() const { return m_statesBySource; }
    std::optional<WebPlayerState> state(const Source &source) const override;
    QSet<Source> openSources() const override { return m_openSources; }
    QSet<Source> pageSources() const { return m_pageSources; }
    bool setupCompleted() const { return m_setupCompleted; }
    QList<Source> configuredSources() const { return m_configuredSources; }
    QList<WebSourceDefinition> sourceDefinitions() const { return m_sourceDefinitions; }
    QList<Source> definedSources() const override;
    const WebSites &webSites() const override { return m_webSites; }

    // Sends a command for a web player; dropped when no client is connected.
    void send(const QString &action, std::optional<double> value, const Source &target) override;
    // Asks the extension to learn the controls of a generic site; nothing for other sources.
    void startLearning(const Source &source);
    // Sends one message to the current connection, if any, even before its hello. A message
    // with a number JSON cannot express is not sent.
    void sendJSON(const QJsonObject &message);

    // One text message of a connection, as the transport delivers it.
    void handle(const QByteArray &utf8, BridgeTransport::ConnectionId connection);

Q_SIGNALS:
    void isConnectedChanged();
    void lastStateChanged();
    void statesBySourceChanged();
    void openSourcesChanged();
    void pageSourcesChanged();
    void setupCompletedChanged();
    void configuredSourcesChanged();
    void sourceDefinitionsChanged();
    // Every state the extension reports, and none once the followed site's state is gone (the
    // site closed, the extension said bye or left). Emitted even when nothing changed, so that
    // a listener sees each report.
    void webStateReported(const std::optional<WebPlayerState> &state);
    // The sources the bridge offers may have changed: it connected or left, or the catalogue,
    // setup or set of open sites was reported.
    void webSourcesChanged();

private:
    void accept(BridgeTransport::ConnectionId connection);
    void drop(BridgeTransport::ConnectionId connection);
    void refuse(const QString &reason);

    void onHello(const BridgeProtocol::Hello &hello);
    void onConfigured(const BridgeProtocol::Configured &configured);
    void onPresence(const BridgeProtocol::Presence &presence);
    void onPages(const BridgeProtocol::Pages &pages);
    void onState(const BridgeProtocol::State &message);
    void onBye();

    void updateSourceDefinitions(const std::optional<BridgeProtocol::Catalogue> &catalogue);
    void updateSetupState(const BridgeProtocol::SetupState &setup);
    void setSourceDefinitions(const QList<WebSourceDefinition> &definitions);
    void nameGenericSites(const QList<WebSourceDefinition> &definitions);
    void setLastState(const std::optional<WebPlayerState> &state);

    SettingsStore &m_defaults;
    QList<quint16> m_ports;
    BridgeTransport *m_transport;
    int m_portIndex = -1;

    bool m_isConnected = false;
    std::optional<WebPlayerState> m_lastState;
    QHash<Source, WebPlayerState> m_statesBySource;
    QSet<Source> m_openSources;
    QSet<Source> m_pageSources;
    bool m_setupCompleted = false;
    QList<Source> m_configuredSources;
    QList<WebSourceDefinition> m_sourceDefinitions;
    WebSites m_webSites;
    QHash<Source, QString> m_loggedStateSignatures;

    BridgeTransport::ConnectionId m_connection = 0;
    BridgeTransport::ConnectionId m_authenticatedConnection = 0;
    // Refusals are logged per connection up to a bound, so junk cannot flood the log.
    int m_refusalsLogged = 0;
};
