#include "BridgeTestClient.h"
#include "FakeClock.h"
#include "FakeDesktopPlayers.h"
#include "LogCapture.h"
#include "browser/BrowserBridgeService.h"
#include "core/SettingsKeys.h"
#include "core/SettingsStore.h"
#include "nowplaying/ArtworkResolver.h"
#include "nowplaying/NowPlayingAggregator.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;

namespace {

const QString kConnectedLine = u"Vesper: browser bridge connected (protocol=4, sources=%1)"_s;
const QString kDisconnectedLine = u"Vesper: browser bridge — extension disconnected"_s;
const QString kHelloRefusedLine
    = u"[BrowserBridge] browser bridge rejected client with missing or incompatible hello"_s;
const QString kRefusedLine = u"[BrowserBridge] message refused: "_s;
const QVariantList kTidalCatalogue { QVariantMap { { u"id"_s, u"tidal"_s },
                                                   { u"supportLevel"_s, u"full"_s } } };

QJsonObject hello(const QJsonObject &members = {})
{
    QJsonObject message { { u"type"_s, u"hello"_s }, { u"version"_s, 4 } };
    for (auto it = members.begin(); it != members.end(); ++it)
        message.insert(it.key(), it.value());
    return message;
}

QJsonObject stateMessage(const QString &source, const QString &title, bool playing,
                         double position = 0)
{
    return { { u"type"_s, u"state"_s },   { u"source"_s, source },
             { u"title"_s, title },       { u"artist"_s, u"Band"_s },
             { u"duration"_s, 200 },      { u"position"_s, position },
             { u"isPlaying"_s, playing }, { u"supports"_s, QJsonArray { u"next"_s, u"seek"_s } } };
}

QJsonObject sourcesMessage(const QString &type, const QStringList &sources)
{
    return { { u"type"_s, type }, { u"sources"_s, QJsonArray::fromStringList(sources) } };
}

} // namespace

class TestBridgeService : public QObject
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<SettingsStore> m_defaults;
    std::unique_ptr<FakeDesktopPlayers> m_players;
    std::unique_ptr<QNetworkAccessManager> m_network;
    std::unique_ptr<ArtworkResolver> m_artwork;
    FakeClock m_clock;
    std::unique_ptr<BrowserBridgeService> m_bridge;
    std::unique_ptr<NowPlayingAggregator> m_manager;
    quint16 m_port = 0;
    const QString m_origin = BrowserBridgeService::allowedOrigins().constFirst();

    // The bridge and a real aggregator around fake desktop players, listening on a free port.
    void start()
    {
        m_bridge = std::make_unique<BrowserBridgeService>(
            *m_defaults, [this] { return m_manager.get(); }, QList<quint16> { 0 });
        m_manager = std::make_unique<NowPlayingAggregator>(*m_players, m_bridge.get(), *m_artwork,
                                                           *m_defaults, m_clock);
        m_bridge->startListener(0);
        QVERIFY(m_bridge->listeningPort());
        m_port = *m_bridge->listeningPort();
    }

    std::unique_ptr<BridgeTestClient> connectClient(const QJsonObject &firstMessage = hello())
    {
        auto client = std::make_unique<BridgeTestClient>(m_origin);
        if (!client->open(m_port))
            return nullptr;
        client->send(firstMessage);
        return client;
    }

    QString shownTitle() const { return m_manager->nowPlaying().title; }

    // Messages are handled as they arrive; a short spin lets the last one land.
    static void settle() { QTest::qWait(30); }

private Q_SLOTS:
    void init()
    {
        qputenv("VESPER_ITUNES_URL", "http://127.0.0.1:9");
        m_dir = std::make_unique<QTemporaryDir>();
        m_defaults = std::make_unique<SettingsStore>(m_dir->filePath(u"defaults.json"_s));
        m_players = std::make_unique<FakeDesktopPlayers>();
        m_network = std::make_unique<QNetworkAccessManager>();
        m_artwork = std::make_unique<ArtworkResolver>(*m_players, *m_network);
    }
    void cleanup()
    {
        m_manager.reset();
        m_bridge.reset();
        // Artwork searches go to a closed port; let them end before their network does.
        QTRY_VERIFY(m_network->findChildren<QNetworkReply *>().isEmpty());
        QTest::qWait(10);
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
        BrowserBridgeService bridge(*m_defaults, {}, ports);
        bridge.startListener(0);
        QCOMPARE(bridge.listeningPort(), ports[2]);
        QVERIFY(log.contains(u"Vesper: browser bridge listening on 127.0.0.1:%1"_s.arg(ports[2])));

        // With every port taken (the third by the first bridge) the bridge gives up once.
        BrowserBridgeService late(*m_defaults, {}, ports);
        late.startListener(0);
        QVERIFY(!late.listeningPort());
        QCOMPARE(log.count(u"Vesper: browser bridge — all ports busy, bridge unavailable"_s), 1);
        QCOMPARE(log.lines().filter(u"listening on"_s).size(), 1);
    }

    void handshakeLetsOnlyOurOriginsIn()
    {
        start();
        LogCapture log;
        auto extension = connectClient();
        QTRY_VERIFY(m_bridge->isConnected());

        const QByteArray upper = m_origin.toUpper().toUtf8();
        QVERIFY(
            rawHandshake(m_port, "Origin: https://evil.example\r\n").startsWith("HTTP/1.1 403"));
        QVERIFY(log.contains(
            u"Vesper: browser bridge rejected WebSocket origin https://evil.example"_s));
        QVERIFY(rawHandshake(m_port, {}).startsWith("HTTP/1.1 403"));
        QVERIFY(log.contains(u"Vesper: browser bridge rejected WebSocket origin <missing>"_s));
        QVERIFY(rawHandshake(m_port, "ORIGIN: " + upper + "\r\n").startsWith("HTTP/1.1 403"));
        // The header name may come in any letter case; the first Origin header counts.
        QVERIFY(rawHandshake(
                    m_port, "Origin: https://evil.example\r\norigin: " + m_origin.toUtf8() + "\r\n")
                    .startsWith("HTTP/1.1 403"));

        // Refused clients never replaced the extension's connection.
        settle();
        QVERIFY(!extension->disconnected);
        QVERIFY(m_bridge->isConnected());

        // A lower-case header name with our origin is let in, and replaces the extension.
        QCOMPARE(rawHandshake(m_port, "origin: " + m_origin.toUtf8() + "\r\n"),
                 QByteArray("HTTP/1.1 101 Switching Protocols"));
        QVERIFY(extension->waitForDisconnect());
    }

    void helloComesFirstAndTheNewestConnectionWins()
    {
        m_defaults->setValue(SettingsKeys::browserSourceDefinitions, kTidalCatalogue);
        start();
        LogCapture log;
        // Junk before the hello is refused, and the connection stays.
        auto first = connectClient(QJsonObject());
        first->sendText(u"{not json"_s);
        first->send(hello());
        QTRY_VERIFY(m_bridge->isConnected());
        QVERIFY(log.contains(kConnectedLine.arg(1)));
        QCOMPARE(log.lines().filter(kRefusedLine).size(), 2);
        first->send(sourcesMessage(u"presence"_s, { u"tidal"_s }));
        first->send(stateMessage(u"tidal"_s, u"Song"_s, true));
        QTRY_COMPARE(shownTitle(), u"Song"_s);

        // A newer connection replaces it; the replaced connection's end clears nothing.
        BridgeTestClient second(m_origin);
        QVERIFY(second.open(m_port));
        QVERIFY(first->waitForDisconnect());
        QCOMPARE(first->socket.closeCode(), QWebSocketProtocol::CloseCodeNormal);
        settle();
        QVERIFY(m_bridge->isConnected());
        QCOMPARE(m_bridge->lastState()->title, u"Song"_s);
        QCOMPARE(shownTitle(), u"Song"_s);
        QVERIFY(!log.contains(kDisconnectedLine));

        // Any well-formed first message but hello 4 ends the connection, and the bridge state.
        second.send(stateMessage(u"tidal"_s, u"Other"_s, true));
        QVERIFY(second.waitForDisconnect());
        QCOMPARE(second.socket.closeCode(), QWebSocketProtocol::CloseCodePolicyViolated);
        QVERIFY(!m_bridge->isConnected());
        QVERIFY(!m_bridge->lastState());
        QVERIFY(m_bridge->openSources().isEmpty());
        QVERIFY(shownTitle().isEmpty());
        QCOMPARE(m_bridge->definedSources(), QList<Source> { Source::Tidal });
        QCOMPARE(log.count(kDisconnectedLine), 1);
        for (const QJsonObject &refused :
             { hello({ { u"version"_s, 3 } }), QJsonObject { { u"type"_s, u"hi"_s } } }) {
            auto client = connectClient(refused);
            QVERIFY(client->waitForDisconnect());
            QCOMPARE(client->socket.closeCode(), QWebSocketProtocol::CloseCodePolicyViolated);
        }
        QCOMPARE(log.count(kHelloRefusedLine), 3);
    }

    void helloCarriesCatalogueAndSetup()
    {
        m_defaults->setValue(
            SettingsKeys::browserSourceDefinitions,
            QJsonDocument::fromJson(R"([{"id":"soundcloud","supportLevel":"full"}])")
                .array()
                .toVariantList());
        start();
        // Known from the last run before any connection.
        QCOMPARE(m_bridge->definedSources(), QList<Source> { Source::SoundCloud });

        LogCapture log;
        auto client = connectClient();
        QTRY_VERIFY(m_bridge->isConnected());
        QCOMPARE(m_bridge->definedSources(), QList<Source> { Source::SoundCloud });
        QVERIFY(!m_bridge->setupCompleted());
        QVERIFY(log.contains(kConnectedLine.arg(1)));

        const QJsonArray received = QJsonDocument::fromJson(R"([
            {"id":"ytmusic","supportLevel":"partial"},
            {"id":"tidal","supportLevel":"full","capabilities":["next"]},
            {"id":"generic:radio.example","supportLevel":"limited","kind":"generic","name":"Radio X"}
        ])")
                                        .array();
        QSignalSpy catalogueChanged(m_bridge.get(),
                                    &BrowserBridgeService::sourceDefinitionsChanged);
        client->send(
            { { u"type"_s, u"configured"_s },
              { u"sourceDefinitions"_s, received },
              { u"setupCompleted"_s, true },
              { u"selectedSources"_s, QJsonArray { u"ytmusic"_s, u"bogus"_s, u"tidal"_s } } });
        QTRY_COMPARE(catalogueChanged.size(), 1);
        QCOMPARE(m_bridge->definedSources(),
                 (QList<Source> { Source::Tidal, Source::generic(u"radio.example"_s) }));
        QCOMPARE(Source::generic(u"radio.example"_s).displayName(), u"Radio X"_s);
        QVERIFY(m_bridge->setupCompleted());
        QCOMPARE(m_bridge->configuredSources(),
                 (QList<Source> { Source::YoutubeMusic, Source::Tidal }));
        // The cache holds what was received, the entry that did not decode included.
        const QVariant cached = m_defaults->object(SettingsKeys::browserSourceDefinitions);
        QCOMPARE(QJsonArray::fromVariantList(cached.toList()), received);

        // Definitions that are not a list of objects change neither catalogue nor cache; a hello
        // without "setupCompleted" clears it.
        client->send({ { u"type"_s, u"configured"_s },
                       { u"sourceDefinitions"_s, QJsonArray { u"tidal"_s } },
                       { u"setupCompleted"_s, true } });
        client->send(hello({ { u"sourceDefinitions"_s, u"none"_s } }));
        QTRY_VERIFY(!m_bridge->setupCompleted());
        QCOMPARE(catalogueChanged.size(), 1);
        QCOMPARE(m_defaults->object(SettingsKeys::browserSourceDefinitions), cached);
        QVERIFY(m_bridge->configuredSources().isEmpty());

        // The next run starts from the cache, before the extension says anything.
        client.reset();
        BrowserBridgeService nextRun(*m_defaults, {});
        QCOMPARE(nextRun.definedSources(), m_bridge->definedSources());
    }

    // States reach the aggregator, its commands reach the extension, and what the extension
    // says about its pages decides which states stay.
    void aSessionWithTheExtension()
    {
        start();
        auto client = connectClient();
        client->send(
            sourcesMessage(u"presence"_s, { u"soundcloud"_s, u"generic:radio.example"_s }));
        LogCapture log;
        QJsonObject first = stateMessage(u"soundcloud"_s, u"Song"_s, true, 10);
        first.insert(u"faviconURL"_s, u"https://soundcloud.com/favicon.ico"_s);
        client->send(first);
        QTRY_COMPARE(shownTitle(), u"Song"_s);
        const NowPlayingInfo &shown = m_manager->nowPlaying();
        QCOMPARE(shown.sourceId, u"com.vesper.web.soundcloud"_s);
        QVERIFY(shown.isPlaying);
        QCOMPARE(shown.duration, 200.0);
        QCOMPARE(shown.capabilities, SourceCapability::Next | SourceCapability::Seek);
        QCOMPARE(Source(Source::SoundCloud).faviconURL(),
                 QUrl(u"https://soundcloud.com/favicon.ico"_s));
        // A report that only moves the position reaches the aggregator but is not logged again.
        client->send(stateMessage(u"soundcloud"_s, u"Song"_s, true, 20));
        QTRY_COMPARE(m_manager->nowPlaying().elapsedTime, 20.0);
        QCOMPARE(log.lines().filter(u"[BrowserBridge] state received"_s).size(), 1);

        m_manager->togglePlayPause();
        m_manager->seek(42.5);
        m_bridge->send(u"next"_s, std::nullopt, Source::Spotify);
        m_bridge->startLearning(Source::YoutubeMusic); // sends nothing
        m_bridge->startLearning(Source::generic(u"radio.example"_s));
        m_bridge->sendJSON(BridgeProtocol::manageMessage());
        QVERIFY(client->waitForMessages(5));
        settle();
        const QList<QJsonObject> expected {
            { { u"type"_s, u"command"_s },
              { u"action"_s, u"pause"_s },
              { u"source"_s, u"soundcloud"_s } },
            { { u"type"_s, u"command"_s },
              { u"action"_s, u"seek"_s },
              { u"source"_s, u"soundcloud"_s },
              { u"value"_s, 42.5 } },
            { { u"type"_s, u"command"_s }, { u"action"_s, u"next"_s } },
            { { u"type"_s, u"learn"_s }, { u"source"_s, u"generic:radio.example"_s } },
            { { u"type"_s, u"manage"_s } },
        };
        QCOMPARE(client->received, expected);

        // A generic site names itself; a state from no known site is dropped.
        client->send(stateMessage(u"soundcloud"_s, u"Song"_s, false, 20));
        QJsonObject generic = stateMessage(u"generic:radio.example"_s, u"Live"_s, true);
        generic.insert(u"siteName"_s, u"Radio X"_s);
        client->send(generic);
        client->send(stateMessage(u"winamp"_s, u"Nope"_s, true));
        settle();
        QCOMPARE(m_bridge->lastState()->title, u"Live"_s);
        QCOMPARE(shownTitle(), u"Live"_s);
        QCOMPARE(Source::generic(u"radio.example"_s).displayName(), u"Radio X"_s);

        // Closing the followed site forgets its state and clears the display; the open site's
        // state stays.
        client->send(sourcesMessage(u"presence"_s, { u"soundcloud"_s }));
        QTRY_VERIFY(!m_bridge->lastState());
        QVERIFY(shownTitle().isEmpty());
        QCOMPARE(m_bridge->statesBySource().keys(), QList<Source> { Source::SoundCloud });
        QCOMPARE(m_bridge->openSources(), QSet<Source> { Source::SoundCloud });

        client->send(sourcesMessage(u"pages"_s, { u"tidal"_s }));
        client->send(stateMessage(u"soundcloud"_s, u"One"_s, true));
        QTRY_COMPARE(shownTitle(), u"One"_s);
        client->send({ { u"type"_s, u"bye"_s } });
        QTRY_VERIFY(!m_bridge->lastState());
        QVERIFY(m_bridge->statesBySource().isEmpty());
        QVERIFY(shownTitle().isEmpty());
        QCOMPARE(m_bridge->openSources(), QSet<Source> { Source::SoundCloud });
        QCOMPARE(m_bridge->pageSources(), QSet<Source> { Source::Tidal });

        // Without a client a command is dropped, still logged.
        client->socket.close();
        QTRY_VERIFY(!m_bridge->isConnected());
        m_bridge->send(u"play"_s, std::nullopt, Source::SoundCloud);
        QVERIFY(log.contains(u"[BrowserBridge] command sent action=play "
                             "target=com.vesper.web.soundcloud value=-1.000000 connected=false"_s));
    }

    void badInputHarmsOnlyItsConnection()
    {
        m_defaults->setValue(SettingsKeys::browserSourceDefinitions, kTidalCatalogue);
        start();
        auto client = connectClient();
        QTRY_VERIFY(m_bridge->isConnected());
        LogCapture log;

        client->sendText(u"{\"type\":"_s);
        client->sendText(u"[1,2,3]"_s);
        client->sendText(u"{\"type\":\"dance\"}"_s);
        client->sendText(u"{\"type\":\"state\",\"x\":"_s + QString(100, u'[') + QString(100, u']')
                         + u'}');
        client->send(
            { { u"type"_s, u"configured"_s },
              { u"sourceDefinitions"_s,
                QJsonArray::fromVariantList(QVariantList(5000, kTidalCatalogue.first())) } });
        client->socket.sendBinaryMessage("{\"type\":\"bye\"}");
        // Wrong member types take their fallbacks rather than refusing the message.
        client->sendText(u"{\"type\":\"state\",\"source\":\"tidal\",\"title\":\"T\",\"duration\":"
                         "\"long\",\"isPlaying\":1}"_s);
        QTRY_COMPARE(m_bridge->lastState() ? m_bridge->lastState()->title : QString(), u"T"_s);
        QCOMPARE(m_bridge->lastState()->duration, 0.0);
        QCOMPARE(log.lines().filter(kRefusedLine).size(), 6);
        QVERIFY(log.contains(kRefusedLine + u"a binary message of 14 bytes"_s));
        QVERIFY(!client->disconnected);
        QCOMPARE(m_defaults->object(SettingsKeys::browserSourceDefinitions),
                 QVariant(kTidalCatalogue));
        QCOMPARE(m_bridge->definedSources(), QList<Source> { Source::Tidal });

        // Pings up to the protocol's 125 bytes are answered.
        QSignalSpy pong(&client->socket, &QWebSocket::pong);
        client->socket.ping(QByteArray(125, 'p'));
        QVERIFY(pong.wait(2000));

        // Refusals are logged up to a bound per connection.
        for (int i = 0; i < 30; ++i)
            client->sendText(u"junk"_s);
        settle();
        QTRY_COMPARE(log.lines().filter(kRefusedLine).size(), 20);
        QVERIFY(log.contains(
            u"[BrowserBridge] further refused messages of this connection are not logged"_s));
        QVERIFY(m_bridge->isConnected());
    }
};

QTEST_GUILESS_MAIN(TestBridgeService)
#include "test_bridge_service.moc"
