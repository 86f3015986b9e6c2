#include "browser/BrowserBridgeService.h"

#include "core/Log.h"
#include "core/SettingsKeys.h"
#include "core/SettingsStore.h"

using namespace Qt::StringLiterals;

namespace {

constexpr int kMaxRefusalLinesPerConnection = 20;

QString boolText(bool value) { return value ? u"true"_s : u"false"_s; }

// Numbers print as C's "%f" does.
QString decimal(double value) { return QString::number(value, 'f', 6); }

// The source a state names; Unknown when it names none.
Source sourceOf(const WebPlayerState &state)
{
    return BridgeProtocol::sourceFromBridgeName(state.source).value_or(Source());
}

} // namespace

const QList<quint16> &BrowserBridgeService::defaultPorts()
{
    static const QList<quint16> ports { 51234, 51235, 51236 };
    return ports;
}

const QStringList &BrowserBridgeService::allowedOrigins()
{
    // Chromium derives an extension's identifier from its public key; tests recompute both from
    // extension/keys/ so that this list cannot drift from the keys.
    static const QStringList origins {
        u"chrome-extension://mbidhimojebolhnelplopbkefnkpojlm"_s, // release
        u"chrome-extension://klahnapglopkgikeccpgkpmieekfdfop"_s, // development
    };
    return origins;
}

BrowserBridgeService::BrowserBridgeService(SettingsStore &defaults, QList<quint16> ports,
                                           BridgeTransport::Limits limits, QObject *parent)
    : QObject(parent), m_defaults(defaults), m_ports(std::move(ports)),
      m_transport(new BridgeTransport(allowedOrigins(), limits, this))
{
    // The catalogue is known from the last run before the extension connects.
    const QVariant cached = m_defaults.object(SettingsKeys::browserSourceDefinitions);
    if (const auto array = BridgeProtocol::definitionsFromCache(cached)) {
        m_sourceDefinitions = BridgeProtocol::decodeSourceDefinitions(*array);
        nameGenericSites(m_sourceDefinitions);
    } else if (cached.isValid()) {
        qCWarning(lcBrowserBridge) << "cached source definitions ignored: not a list of objects";
    }

    connect(m_transport, &BridgeTransport::connectionAccepted, this, &BrowserBridgeService::accept);
    connect(m_transport, &BridgeTransport::textMessageReceived, this,
            [this](BridgeTransport::ConnectionId connection, const QByteArray &utf8) {
                if (connection == m_connection)
                    handle(utf8, connection);
            });
    connect(m_transport, &BridgeTransport::binaryMessageReceived, this,
            [this](BridgeTransport::ConnectionId connection, qint64 size) {
                if (connection == m_connection)
                    refuse(u"a binary message of %1 bytes"_s.arg(size));
            });
    connect(m_transport, &BridgeTransport::connectionClosed, this, &BrowserBridgeService::drop);
    connect(m_transport, &BridgeTransport::listenerFailed, this,
            [this] { startListener(m_portIndex + 1); });
}

BrowserBridgeService::~BrowserBridgeService()
{
    // Connections closing as the transport goes must not reach this half-destroyed bridge, nor
    // through its signals whoever listens, which may be gone already.
    m_transport->disconnect(this);
}

void BrowserBridgeService::startListener(int portIndex)
{
    if (portIndex < 0)
        portIndex = 0;
    if (portIndex >= m_ports.size()) {
        m_transport->stopListening();
        m_portIndex = -1;
        plainLog(u"Vesper: browser bridge — all ports busy, bridge unavailable"_s);
        return;
    }
    if (!m_transport->listen(m_ports.at(portIndex))) {
        startListener(portIndex + 1);
        return;
    }
    m_portIndex = portIndex;
    plainLog(u"Vesper: browser bridge listening on 127.0.0.1:%1"_s.arg(m_transport->port()));
}

std::optional<quint16> BrowserBridgeService::listeningPort() const
{
    if (!m_transport->isListening())
        return std::nullopt;
    return m_transport->port();
}

std::optional<WebPlayerState> BrowserBridgeService::state(const Source &source) const
{
    const auto it = m_statesBySource.constFind(source);
    if (it == m_statesBySource.cend())
        return std::nullopt;
    return *it;
}

QList<Source> BrowserBridgeService::definedSources() const
{
    QList<Source> sources;
    sources.reserve(m_sourceDefinitions.size());
    for (const WebSourceDefinition &definition : m_sourceDefinitions)
        sources.append(definition.app);
    return sources;
}

void BrowserBridgeService::accept(BridgeTransport::ConnectionId connection)
{
    // The transport has closed the older connection. The bridge state stays: it describes the
    // extension until the new connection says otherwise or is dropped itself.
    m_connection = connection;
    m_authenticatedConnection = 0;
    m_refusalsLogged = 0;
}

void BrowserBridgeService::drop(BridgeTransport::ConnectionId connection)
{
    if (connection == 0 || connection != m_connection)
        return;
    m_connection = 0;
    m_authenticatedConnection = 0;
    if (m_isConnected) {
        m_isConnected = false;
        Q_EMIT isConnectedChanged();
    }
    setLastState(std::nullopt);
    if (!m_statesBySource.isEmpty()) {
        m_statesBySource.clear();
        Q_EMIT statesBySourceChanged();
    }
    if (!m_openSources.isEmpty()) {
        m_openSources.clear();
        Q_EMIT openSourcesChanged();
    }
    if (!m_pageSources.isEmpty()) {
        m_pageSources.clear();
        Q_EMIT pageSourcesChanged();
    }
    Q_EMIT webStateReported(std::nullopt);
    Q_EMIT webSourcesChanged();
    plainLog(u"Vesper: browser bridge — extension disconnected"_s);
}

void BrowserBridgeService::refuse(const QString &reason)
{
    if (m_refusalsLogged >= kMaxRefusalLinesPerConnection)
        return;
    ++m_refusalsLogged;
    qCWarning(lcBrowserBridge).noquote() << u"message refused: "_s + reason;
    if (m_refusalsLogged == kMaxRefusalLinesPerConnection)
        qCWarning(lcBrowserBridge) << "further refused messages of this connection are not logged";
}

void BrowserBridgeService::handle(const QByteArray &utf8, BridgeTransport::ConnectionId connection)
{
    if (connection == 0)
        return;
    const BridgeProtocol::Decoded decoded = BridgeProtocol::decode(utf8);
    if (!decoded.message) {
        refuse(decoded.refusal);
        return;
    }
    const BridgeProtocol::Message &message = *decoded.message;

    if (connection != m_authenticatedConnection) {
        if (!BridgeProtocol::isAcceptableHello(message)) {
            qCCritical(lcBrowserBridge)
                << "browser bridge rejected client with missing or incompatible hello";
            m_transport->cancel(connection);
            return;
        }
        m_authenticatedConnection = connection;
    }

    if (const auto *hello = std::get_if<BridgeProtocol::Hello>(&message))
        onHello(*hello);
    else if (const auto *configured = std::get_if<BridgeProtocol::Configured>(&message))
        onConfigured(*configured);
    else if (const auto *presence = std::get_if<BridgeProtocol::Presence>(&message))
        onPresence(*presence);
    else if (const auto *pages = std::get_if<BridgeProtocol::Pages>(&message))
        onPages(*pages);
    else if (const auto *state = std::get_if<BridgeProtocol::State>(&message))
        onState(*state);
    else if (std::holds_alternative<BridgeProtocol::Bye>(message))
        onBye();
    else if (const auto *unknown = std::get_if<BridgeProtocol::UnknownType>(&message))
        refuse(u"unknown type \"%1\""_s.arg(BridgeProtocol::logSafe(unknown->type)));
}

void BrowserBridgeService::onHello(const BridgeProtocol::Hello &hello)
{
    if (!m_isConnected) {
        m_isConnected = true;
        Q_EMIT isConnectedChanged();
    }
    updateSourceDefinitions(hello.catalogue);
    updateSetupState(hello.setup);
    Q_EMIT webSourcesChanged();
    plainLog(u"Vesper: browser bridge connected (protocol=%1, sources=%2)"_s
                 .arg(hello.version.value_or(0))
                 .arg(m_sourceDefinitions.size()));
}

void BrowserBridgeService::onConfigured(const BridgeProtocol::Configured &configured)
{
    updateSourceDefinitions(configured.catalogue);
    updateSetupState(configured.setup);
    Q_EMIT webSourcesChanged();
}

void BrowserBridgeService::onPresence(const BridgeProtocol::Presence &presence)
{
    if (presence.sources != m_openSources) {
        m_openSources = presence.sources;
        Q_EMIT openSourcesChanged();
    }
    const qsizetype removed
        = m_statesBySource.removeIf([this](QHash<Source, WebPlayerState>::iterator entry) {
              return !m_openSources.contains(entry.key());
          });
    if (removed > 0)
        Q_EMIT statesBySourceChanged();
    if (m_lastState && !m_openSources.contains(sourceOf(*m_lastState))) {
        setLastState(std::nullopt);
        Q_EMIT webStateReported(std::nullopt);
    }
    Q_EMIT webSourcesChanged();
}

void BrowserBridgeService::onPages(const BridgeProtocol::Pages &pages)
{
    if (pages.sources != m_pageSources) {
        m_pageSources = pages.sources;
        Q_EMIT pageSourcesChanged();
    }
}

void BrowserBridgeService::onState(const BridgeProtocol::State &message)
{
    const WebPlayerState &state = message.state;
    const auto source = BridgeProtocol::sourceFromBridgeName(state.source);
    if (!source) {
        qCDebug(lcBrowserBridge).noquote()
            << u"state ignored: unknown source %1"_s.arg(BridgeProtocol::logSafe(state.source));
        return;
    }

    if (source->kind() == Source::Generic) {
        if (!state.siteName.isEmpty())
            m_webSites.genericNames.insert(source->host(), state.siteName);
        if (!state.faviconURL.isEmpty())
            m_webSites.genericFavicons.insert(source->host(), state.faviconURL);
    } else if (!state.faviconURL.isEmpty()) {
        m_webSites.favicons.insert(source->rawValue(), state.faviconURL);
    }

    m_statesBySource.insert(*source, state);
    Q_EMIT statesBySourceChanged();
    setLastState(state);

    // Position moves with every report; only a new title, play state or set of controls logs.
    const QString signature = BridgeProtocol::stateSignature(state);
    auto logged = m_loggedStateSignatures.find(*source);
    if (logged == m_loggedStateSignatures.end() || *logged != signature) {
        m_loggedStateSignatures.insert(*source, signature);
        qCInfo(lcBrowserBridge).noquote()
            << u"state received source=%1 title=%2 playing=%3 position=%4 duration=%5 "
               "capabilities=%6"_s.arg(
                   BridgeProtocol::logSafe(state.source), BridgeProtocol::logSafe(state.title),
                   boolText(state.isPlaying), decimal(state.position), decimal(state.duration),
                   QString::number(state.capabilities.toInt()));
    }
    Q_EMIT webStateReported(state);
}

void BrowserBridgeService::onBye()
{
    if (m_lastState && m_statesBySource.remove(sourceOf(*m_lastState)))
        Q_EMIT statesBySourceChanged();
    setLastState(std::nullopt);
    Q_EMIT webStateReported(std::nullopt);
}

void BrowserBridgeService::updateSourceDefinitions(
    const std::optional<BridgeProtocol::Catalogue> &catalogue)
{
    // A message without usable definitions leaves the catalogue and its cache as they are.
    if (!catalogue)
        return;
    nameGenericSites(catalogue->definitions);
    setSourceDefinitions(catalogue->definitions);

    const QVariantList cacheable = BridgeProtocol::cacheableDefinitions(catalogue->received);
    if (cacheable.size() < catalogue->received.size()) {
        qCWarning(lcBrowserBridge).noquote()
            << u"%1 of %2 source definitions are not cached: the settings cannot hold them as "
               "sent"_s.arg(catalogue->received.size() - cacheable.size())
                   .arg(catalogue->received.size());
    }
    // Every reconnect repeats the catalogue; the settings file is rewritten only for a new one.
    if (m_defaults.object(SettingsKeys::browserSourceDefinitions) != QVariant(cacheable))
        m_defaults.setValue(SettingsKeys::browserSourceDefinitions, cacheable);
}

void BrowserBridgeService::updateSetupState(const BridgeProtocol::SetupState &setup)
{
    if (setup.completed != m_setupCompleted) {
        m_setupCompleted = setup.completed;
        Q_EMIT setupCompletedChanged();
    }
    if (setup.selectedSources != m_configuredSources) {
        m_configuredSources = setup.selectedSources;
        Q_EMIT configuredSourcesChanged();
    }
    qCInfo(lcBrowserBridge).noquote() << u"setup state completed=%1 sources=%2"_s.arg(
        boolText(m_setupCompleted), QString::number(m_configuredSources.size()));
}

void BrowserBridgeService::setSourceDefinitions(const QList<WebSourceDefinition> &definitions)
{
    if (definitions == m_sourceDefinitions)
        return;
    m_sourceDefinitions = definitions;
    Q_EMIT sourceDefinitionsChanged();
}

void BrowserBridgeService::setLastState(const std::optional<WebPlayerState> &state)
{
    if (!state && !m_lastState)
        return;
    m_lastState = state;
    Q_EMIT lastStateChanged();
}

void BrowserBridgeService::send(const QString &action, std::optional<double> value,
                                const Source &target)
{
    const QJsonObject message = BridgeProtocol::commandMessage(action, value, target);
    qCInfo(lcBrowserBridge).noquote()
        << u"command sent action=%1 target=%2 value=%3 connected=%4"_s.arg(
               BridgeProtocol::logSafe(action), target.rawValue(), decimal(value.value_or(-1)),
               boolText(m_isConnected));
    sendJSON(message);
}

void BrowserBridgeService::startLearning(const Source &source)
{
    if (const auto message = BridgeProtocol::learnMessage(source))
        sendJSON(*message);
}

void BrowserBridgeService::sendJSON(const QJsonObject &message)
{
    if (m_connection == 0)
        return;
    if (const auto text = BridgeProtocol::serialize(message))
        m_transport->sendText(m_connection, *text);
}

void BrowserBridgeService::nameGenericSites(const QList<WebSourceDefinition> &definitions)
{
    // A generic site's definition names it everywhere Vesper shows it.
    for (const WebSourceDefinition &definition : definitions) {
        if (definition.app.kind() == Source::Generic && !definition.name.isEmpty())
            m_webSites.genericNames.insert(definition.app.host(), definition.name);
    }
}
