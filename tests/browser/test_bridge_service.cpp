#include "LogCapture.h"
#include "ServiceFixture.h"
#include "browser/BrowserBridgeService.h"
#include "core/SettingsStore.h"

#include <QTcpServer>
#include <QTest>
#include <QWebSocket>

using namespace Qt::StringLiterals;

namespace {

// The browser extension, in the test's own thread: every wait spins the bridge's event loop.
struct Extension
{
    QWebSocket socket { BrowserBridgeService::allowedOrigins()[0] };

    explicit Extension(quint16 port, const char *first = R"({"type":"hello","version":4})")
    {
        socket.open(QUrl(u"ws://127.0.0.1:%1/"_s.arg(port)));
        if (QTest::qWaitFor([this] { return socket.state() == QAbstractSocket::ConnectedState; }))
            send(first);
    }
    void send(const char *json) { socket.sendTextMessage(QString::fromUtf8(json)); }
    bool closed()
    {
        return QTest::qWaitFor(
            [this] { return socket.state() == QAbstractSocket::UnconnectedState; });
    }
};

} // namespace

class TestBridgeService : public QObject
{
    Q_OBJECT

    std::unique_ptr<ServiceFixture> m_fixture;
    std::unique_ptr<BrowserBridgeService> m_bridge;
    // What the bridge announced to its listeners, in order.
    QStringList m_events;

    // The bridge on a free port, its announcements recorded.
    quint16 start()
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
        return m_bridge->listeningPort().value_or(0);
    }

private Q_SLOTS:
    void init()
    {
        m_fixture = std::make_unique<ServiceFixture>();
        m_events.clear();
    }
    void cleanup() { m_bridge.reset(); }

    void portFallback()
    {
        // The extension looks for the bridge on these, in this order.
        QCOMPARE(BrowserBridgeService::defaultPorts(), (QList<quint16> { 51234, 51235, 51236 }));
        QTcpServer taken;
        QVERIFY(taken.listen(QHostAddress::LocalHost, 0));
        LogCapture log;
        BrowserBridgeService bridge(m_fixture->settings(), { taken.serverPort(), 0 });
        bridge.startListener(0);
        QVERIFY(bridge.listeningPort().value_or(taken.serverPort()) != taken.serverPort());
        BrowserBridgeService late(m_fixture->settings(),
                                  { taken.serverPort(), taken.serverPort() });
        late.startListener(0);
        QVERIFY(!late.listeningPort());
        QCOMPARE(log.count(u"Vesper: browser bridge — all ports busy, bridge unavailable"_s), 1);
    }

    void helloComesFirstAndTheNewestConnectionWins()
    {
        const quint16 port = start();
        LogCapture log;
        // Junk is refused and the connection stays, before the hello too; refusals are logged
        // up to a bound per connection.
        Extension first(port, "{}");
        first.socket.sendBinaryMessage("{}");
        for (int i = 0; i < 30; ++i)
            first.send("{\"type\":");
        first.send(R"({"type":"hello","version":4})");
        first.send(R"({"type":"presence","sources":["tidal"]})");
        first.send(R"({"type":"state","source":"tidal","title":"Song"})");
        QTRY_COMPARE(m_events, (QStringList { u"sources"_s, u"sources"_s, u"state Song"_s }));
        const QStringList refused = log.lines().filter(u"[BrowserBridge] message refused: "_s);
        QCOMPARE(refused.size(), 20);
        QCOMPARE(refused[1], u"[BrowserBridge] message refused: a binary message of 2 bytes"_s);
        QVERIFY(log.contains(
            u"[BrowserBridge] further refused messages of this connection are not logged"_s));

        // A newer connection replaces it and leaves the state as it was; any well-formed first
        // message but hello 4 ends the connection, and the bridge state with it.
        Extension second(port, R"({"type":"hello","version":3})");
        QVERIFY(first.closed() && second.closed());
        QCOMPARE(first.socket.closeCode(), QWebSocketProtocol::CloseCodeNormal);
        QCOMPARE(second.socket.closeCode(), QWebSocketProtocol::CloseCodePolicyViolated);
        QVERIFY(!m_bridge->isConnected() && m_bridge->openSources().isEmpty());
        QCOMPARE(m_events.mid(3), (QStringList { u"no state"_s, u"sources"_s }));
    }

    // Every report is announced in order; the extension's open sites decide which states stay.
    void aSessionWithTheExtension()
    {
        Extension extension(start());
        // The catalogue names its sites and is cached for the next run.
        extension.send(R"({"type":"configured","sourceDefinitions":[{"id":"winamp"},
            {"id":"generic:radio.example","supportLevel":"full","kind":"generic","name":"Radio X"}]})");
        extension.send(R"({"type":"presence","sources":["soundcloud","generic:radio.example"]})");
        // moc would read two slashes in a raw string as a comment; JSON allows "\/".
        extension.send(R"({"type":"state","source":"soundcloud","title":"Song","position":10,
            "faviconURL":"https:\/\/soundcloud.com/favicon.ico"})");
        extension.send(R"({"type":"state","source":"soundcloud","title":"Song","position":20})");
        extension.send(R"({"type":"state","source":"generic:radio.example","title":"Live"})");
        extension.send(R"({"type":"state","source":"winamp","title":"Nope"})");
        // Closing the followed site forgets its state; the other open site's state stays.
        extension.send(R"({"type":"presence","sources":["soundcloud"]})");
        QTRY_COMPARE(m_events.size(), 8);
        QCOMPARE(m_events.mid(3),
                 (QStringList { u"state Song"_s, u"state Song"_s, u"state Live"_s, u"no state"_s,
                                u"sources"_s }));
        const QList<Source> radio { Source::generic(u"radio.example"_s) };
        QCOMPARE(m_bridge->definedSources(), radio);
        QCOMPARE(m_bridge->webSites().displayName(radio[0]), u"Radio X"_s);
        SettingsStore nextRun(m_fixture->settingsPath());
        QCOMPARE(BrowserBridgeService(nextRun, {}).definedSources(), radio);
        QCOMPARE(m_bridge->webSites().faviconURL(Source::SoundCloud)->host(), u"soundcloud.com"_s);
        QCOMPARE(m_bridge->state(Source::SoundCloud)->position, 20.0);

        // Bye forgets the followed site's state; the open sites stay.
        extension.send(R"({"type":"state","source":"soundcloud","title":"One"})");
        extension.send(R"({"type":"bye"})");
        QTRY_COMPARE(m_events.size(), 10);
        QCOMPARE(m_events.mid(8), (QStringList { u"state One"_s, u"no state"_s }));
        QVERIFY(m_bridge->statesBySource().isEmpty());
        QCOMPARE(m_bridge->openSources(), QSet<Source> { Source::SoundCloud });
    }
};

QTEST_GUILESS_MAIN(TestBridgeService)
#include "test_bridge_service.moc"
