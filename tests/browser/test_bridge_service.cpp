#include "BridgeTestClient.h"
#include "LogCapture.h"
#include "ServiceFixture.h"
#include "browser/BrowserBridgeService.h"
#include "core/SettingsKeys.h"
#include "core/SettingsStore.h"

#include <QJsonArray>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTest>

using namespace Qt::StringLiterals;

namespace {

const QJsonObject kHello { { u"type"_s, u"hello"_s }, { u"version"_s, 4 } };

QJsonObject message(const QString &type, QJsonObject members = {})
{
    members.insert(u"type"_s, type);
    return members;
}

QJsonObject stateMessage(const QString &source, const QString &title, double position = 0)
{
    return message(u"state"_s,
                   { { u"source"_s, source },
                     { u"title"_s, title },
                     { u"position"_s, position },
                     { u"isPlaying"_s, true } });
}

QJsonObject sourcesMessage(const QString &type, const QStringList &sources)
{
    return message(type, { { u"sources"_s, QJsonArray::fromStringList(sources) } });
}

} // namespace

class TestBridgeService : public QObject
{
    Q_OBJECT

    std::unique_ptr<ServiceFixture> m_fixture;
    std::unique_ptr<BrowserBridgeService> m_bridge;
    // What the bridge announced to its listeners, in order.
    QStringList m_events;
    quint16 m_port = 0;
    const QString m_origin = BrowserBridgeService::allowedOrigins().constFirst();

    // The bridge on a free port, its announcements recorded.
    void start()
    {
        m_bridge
            = std::make_unique<BrowserBridgeService>(m_fixture->settings(), QList<quint16> { 0 });
        connect(m_bridge.get(), &BrowserBridgeService::webStateReported, this,
                [this](const std::optional<WebPlayerState> &state) {
                    m_events << (state ? u"state "_s + state->title : u"no state"_s);
                });
        connect(m_bridge.get(), &BrowserBridgeService::webSourcesChanged, this,
                [this] { m_events << u"sources"_s; });
        m_bridge->startListener(0);
        QVERIFY(m_bridge->listeningPort());
        m_port = *m_bridge->listeningPort();
    }

    std::unique_ptr<BridgeTestClient> connectClient(const QJsonObject &first = kHello)
    {
        auto client = std::make_unique<BridgeTestClient>(m_origin);
        if (client->open(m_port))
            client->send(first);
        return client;
    }

private Q_SLOTS:
    void init()
    {
        m_fixture = std::make_unique<ServiceFixture>();
        m_events.clear();
    }
    void cleanup()
    {
        m_bridge.reset();
        m_fixture.reset();
        Source::genericSiteNames().clear();
        Source::genericFaviconURLs().clear();
        Source::webFaviconURLs().clear();
    }

    void portFallback()
    {
        // The extension looks for the bridge on these, in this order.
        QCOMPARE(BrowserBridgeService::defaultPorts(), (QList<quint16> { 51234, 51235, 51236 }));
        // Free ports of this moment, so that a running Vesper cannot interfere.
        QList<quint16> ports;
        std::vector<std::unique_ptr<QTcpServer>> held;
        for (int i = 0; i < 3; ++i) {
            held.push_back(std::make_unique<QTcpServer>());
            QVERIFY(held.back()->listen(QHostAddress::LocalHost, 0));
            ports << held.back()->serverPort();
        }
        held.pop_back();
        LogCapture log;
        BrowserBridgeService bridge(m_fixture->settings(), ports);
        bridge.startListener(0);
        QCOMPARE(bridge.listeningPort(), ports[2]);

        // With every port taken (the third by the first bridge) the bridge gives up once.
        BrowserBridgeService late(m_fixture->settings(), ports);
        late.startListener(0);
        QVERIFY(!late.listeningPort());
        QCOMPARE(log.count(u"Vesper: browser bridge — all ports busy, bridge unavailable"_s), 1);
    }

    void helloComesFirstAndTheNewestConnectionWins()
    {
        start();
        // Junk before the hello is refused, and the connection stays.
        auto first = connectClient(QJsonObject());
        first->socket.sendTextMessage(u"{not json"_s);
        first->send(kHello);
        first->send(sourcesMessage(u"presence"_s, { u"tidal"_s }));
        first->send(stateMessage(u"tidal"_s, u"Song"_s));
        QTRY_COMPARE(m_events, (QStringList { u"sources"_s, u"sources"_s, u"state Song"_s }));

        // A newer connection replaces it; the state stays until the newcomer says otherwise.
        BridgeTestClient second(m_origin);
        QVERIFY(second.open(m_port));
        QVERIFY(first->waitForDisconnect());
        QCOMPARE(first->socket.closeCode(), QWebSocketProtocol::CloseCodeNormal);
        QVERIFY(m_bridge->isConnected());
        QCOMPARE(m_bridge->lastState()->title, u"Song"_s);

        // Any well-formed first message but hello 4 ends the connection and the bridge state.
        second.send(message(u"hello"_s, { { u"version"_s, 3 } }));
        QVERIFY(second.waitForDisconnect());
        QCOMPARE(second.socket.closeCode(), QWebSocketProtocol::CloseCodePolicyViolated);
        QVERIFY(!m_bridge->isConnected());
        QVERIFY(!m_bridge->lastState());
        QVERIFY(m_bridge->openSources().isEmpty());
        QCOMPARE(m_events.mid(3), (QStringList { u"no state"_s, u"sources"_s }));
    }

    void catalogueAndSetup()
    {
        const QVariantList tidal { QVariantMap { { u"id"_s, u"tidal"_s },
                                                 { u"supportLevel"_s, u"full"_s } } };
        m_fixture->settings().setValue(SettingsKeys::browserSourceDefinitions, tidal);
        start();
        // Known from the last run before any connection.
        QCOMPARE(m_bridge->definedSources(), QList<Source> { Source::Tidal });

        auto client = connectClient();
        const QJsonArray received = QJsonDocument::fromJson(R"([
            {"id":"ytmusic","supportLevel":"full"},
            {"id":"winamp","supportLevel":"full"},
            {"id":"generic:radio.example","supportLevel":"limited","kind":"generic","name":"Radio X"}
        ])")
                                        .array();
        client->send(
            message(u"configured"_s,
                    { { u"sourceDefinitions"_s, received },
                      { u"setupCompleted"_s, true },
                      { u"selectedSources"_s, QJsonArray { u"ytmusic"_s, u"bogus"_s } } }));
        QTRY_VERIFY(m_bridge->setupCompleted());
        QCOMPARE(m_events, (QStringList { u"sources"_s, u"sources"_s }));
        QCOMPARE(m_bridge->definedSources(),
                 (QList<Source> { Source::YoutubeMusic, Source::generic(u"radio.example"_s) }));
        QCOMPARE(Source::generic(u"radio.example"_s).displayName(), u"Radio X"_s);
        QCOMPARE(m_bridge->configuredSources(), QList<Source> { Source::YoutubeMusic });
        // The cache holds what was received, the entry that did not decode included.
        const QVariant cached
            = m_fixture->settings().object(SettingsKeys::browserSourceDefinitions);
        QCOMPARE(QJsonArray::fromVariantList(cached.toList()), received);

        // Definitions that are not a list of objects change neither catalogue nor cache; a hello
        // without "setupCompleted" clears it.
        QSignalSpy catalogueChanged(m_bridge.get(),
                                    &BrowserBridgeService::sourceDefinitionsChanged);
        client->send(
            message(u"configured"_s, { { u"sourceDefinitions"_s, QJsonArray { u"tidal"_s } } }));
        client->send(message(u"hello"_s, { { u"version"_s, 4 }, { u"sourceDefinitions"_s, 1 } }));
        QTRY_COMPARE(m_events.size(), 4);
        QVERIFY(!m_bridge->setupCompleted());
        QVERIFY(catalogueChanged.isEmpty());
        SettingsStore nextRunSettings(m_fixture->settingsPath());
        QCOMPARE(nextRunSettings.object(SettingsKeys::browserSourceDefinitions), cached);
        QCOMPARE(BrowserBridgeService(nextRunSettings).definedSources(),
                 m_bridge->definedSources());
    }

    // Every report is announced in order; what the extension says of its pages decides which
    // states stay; commands reach it.
    void aSessionWithTheExtension()
    {
        start();
        auto client = connectClient();
        client->send(
            sourcesMessage(u"presence"_s, { u"soundcloud"_s, u"generic:radio.example"_s }));
        LogCapture log;
        QJsonObject first = stateMessage(u"soundcloud"_s, u"Song"_s, 10);
        first.insert(u"faviconURL"_s, u"https://soundcloud.com/favicon.ico"_s);
        client->send(first);
        // A report that only moves the position is announced but not logged again.
        client->send(stateMessage(u"soundcloud"_s, u"Song"_s, 20));
        QJsonObject generic = stateMessage(u"generic:radio.example"_s, u"Live"_s);
        generic.insert(u"siteName"_s, u"Radio X"_s);
        client->send(generic);
        client->send(stateMessage(u"winamp"_s, u"Nope"_s));
        // Closing the followed site forgets its state; the other open site's state stays.
        client->send(sourcesMessage(u"presence"_s, { u"soundcloud"_s }));
        QTRY_COMPARE(m_events.size(), 7);
        QCOMPARE(m_events,
                 (QStringList { u"sources"_s, u"sources"_s, u"state Song"_s, u"state Song"_s,
                                u"state Live"_s, u"no state"_s, u"sources"_s }));
        QCOMPARE(log.lines().filter(u"[BrowserBridge] state received"_s).size(), 2);
        QCOMPARE(Source(Source::SoundCloud).faviconURL(),
                 QUrl(u"https://soundcloud.com/favicon.ico"_s));
        QCOMPARE(Source::generic(u"radio.example"_s).displayName(), u"Radio X"_s);
        QCOMPARE(m_bridge->statesBySource().keys(), QList<Source> { Source::SoundCloud });
        QCOMPARE(m_bridge->statesBySource().value(Source::SoundCloud).position, 20.0);

        // Bye forgets the followed site's state; the open sites and pages stay.
        client->send(sourcesMessage(u"pages"_s, { u"tidal"_s }));
        client->send(stateMessage(u"soundcloud"_s, u"One"_s));
        client->send(message(u"bye"_s));
        QTRY_COMPARE(m_events.size(), 9);
        QCOMPARE(m_events.mid(7), (QStringList { u"state One"_s, u"no state"_s }));
        QVERIFY(m_bridge->statesBySource().isEmpty());
        QCOMPARE(m_bridge->openSources(), QSet<Source> { Source::SoundCloud });
        QCOMPARE(m_bridge->pageSources(), QSet<Source> { Source::Tidal });

        m_bridge->send(u"pause"_s, std::nullopt, Source::SoundCloud);
        m_bridge->startLearning(Source::YoutubeMusic); // sends nothing
        m_bridge->startLearning(Source::generic(u"radio.example"_s));
        m_bridge->sendJSON(BridgeProtocol::manageMessage());
        QTRY_COMPARE(client->received.size(), 3);
        QCOMPARE(client->received,
                 (QList<QJsonObject> {
                     message(u"command"_s,
                             { { u"action"_s, u"pause"_s }, { u"source"_s, u"soundcloud"_s } }),
                     message(u"learn"_s, { { u"source"_s, u"generic:radio.example"_s } }),
                     message(u"manage"_s) }));

        // The extension leaving takes what it reported with it.
        client->socket.close();
        QTRY_VERIFY(!m_bridge->isConnected());
        QVERIFY(m_bridge->openSources().isEmpty() && m_bridge->pageSources().isEmpty());
        QCOMPARE(m_events.mid(9), (QStringList { u"no state"_s, u"sources"_s }));
    }

    void junkIsRefusedAndLoggedWithinBounds()
    {
        start();
        auto client = connectClient();
        LogCapture log;
        client->socket.sendBinaryMessage("{\"type\":\"bye\"}");
        for (int i = 0; i < 30; ++i)
            client->socket.sendTextMessage(u"{\"type\":"_s);
        client->send(stateMessage(u"tidal"_s, u"After"_s));
        QTRY_VERIFY(m_events.contains(u"state After"_s));
        const QStringList refused = log.lines().filter(u"[BrowserBridge] message refused: "_s);
        QCOMPARE(refused.size(), 20);
        QCOMPARE(refused.first(),
                 u"[BrowserBridge] message refused: a binary message of 14 bytes"_s);
        QVERIFY(log.contains(
            u"[BrowserBridge] further refused messages of this connection are not logged"_s));
        QVERIFY(!client->disconnected);
    }
};

QTEST_GUILESS_MAIN(TestBridgeService)
#include "test_bridge_service.moc"
