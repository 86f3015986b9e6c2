#include "BridgeTestClient.h"
#include "LogCapture.h"
#include "browser/BridgeTransport.h"

#include <QDir>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTest>

#include <sys/resource.h>
#include <sys/socket.h>

using namespace Qt::StringLiterals;

namespace {

const QString kOrigin = u"chrome-extension://abcdefghijklmnopabcdefghijklmnop"_s;

// A client frame; a zero mask leaves the payload as written.
QByteArray frame(quint8 opcode, const QByteArray &payload, quint64 announcedSize = 0)
{
    const quint64 size = announcedSize ? announcedSize : quint64(payload.size());
    QByteArray bytes;
    bytes.append(char(0x80 | opcode));
    if (size < 126) {
        bytes.append(char(0x80 | size));
    } else if (size < 65536) {
        bytes.append(char(0x80 | 126));
        bytes.append(char(size >> 8)).append(char(size & 0xff));
    } else {
        bytes.append(char(0x80 | 127));
        for (int shift = 56; shift >= 0; shift -= 8)
            bytes.append(char((size >> shift) & 0xff));
    }
    bytes.append(4, '\0');
    return bytes + payload;
}

// A client that speaks WebSocket by hand, to send what Qt's client never would.
struct RawClient
{
    QTcpSocket tcp;
    bool disconnected = false;

    bool connectTo(quint16 port)
    {
        QObject::connect(&tcp, &QTcpSocket::disconnected, &tcp, [this] { disconnected = true; });
        tcp.connectToHost(QHostAddress::LocalHost, port);
        return tcp.waitForConnected(2000);
    }
    bool upgrade(quint16 port)
    {
        if (!connectTo(port))
            return false;
        tcp.write("GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: "
                  "Upgrade\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
                  "Sec-WebSocket-Version: 13\r\nOrigin: "
                  + kOrigin.toUtf8() + "\r\n\r\n");
        QByteArray answer;
        QDeadlineTimer deadline(3000);
        while (!answer.contains("\r\n\r\n") && !deadline.hasExpired()) {
            QTest::qWait(5);
            answer += tcp.readAll();
        }
        return answer.startsWith("HTTP/1.1 101");
    }
};

qsizetype liveSockets(const BridgeTransport &transport)
{
    return transport.findChildren<QTcpSocket *>().size();
}

} // namespace

class TestBridgeTransport : public QObject
{
    Q_OBJECT

    static BridgeTransport::Limits smallLimits()
    {
        BridgeTransport::Limits limits;
        limits.maxMessageBytes = 64 * 1024;
        limits.maxPendingHandshakes = 4;
        limits.handshakeTimeoutMs = 300;
        limits.closeGraceMs = 200;
        return limits;
    }

private Q_SLOTS:
    void listensOnLoopbackOnly()
    {
        BridgeTransport transport({ kOrigin });
        QVERIFY(transport.listen(0));
        QTcpServer probe;
        // The same port stays free on other addresses: nothing listens on all interfaces.
        QVERIFY(probe.listen(QHostAddress(u"127.0.0.2"_s), transport.port()));
        QTcpServer clash;
        QVERIFY(!clash.listen(QHostAddress::LocalHost, transport.port()));
        QVERIFY(!transport.isAllowedOrigin(QString(), { QString() }));
    }

    void protocolBreachesCloseAndFreeTheConnection_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<int>("closeCode");
        QTest::newRow("invalid UTF-8") << frame(0x1, "{\"t\":\"\xc3\x28\"}") << 1007;
        QTest::newRow("oversized frame") << frame(0x1, "x", 2 * 1024 * 1024) << 1009;
        QTest::newRow("oversized message")
            << QByteArray(frame(0x1, QByteArray(40 * 1024, 'x')).replace(0, 1, "\x01")
                          + frame(0x0, QByteArray(40 * 1024, 'x')))
            << 1009;
        QTest::newRow("ping over 125 bytes") << frame(0x9, QByteArray(126, 'p')) << 1002;
        QTest::newRow("half close") << QByteArray() << 0;
    }
    void protocolBreachesCloseAndFreeTheConnection()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(int, closeCode);
        BridgeTransport transport({ kOrigin }, smallLimits());
        QVERIFY(transport.listen(0));
        QSignalSpy accepted(&transport, &BridgeTransport::connectionAccepted);
        QSignalSpy closed(&transport, &BridgeTransport::connectionClosed);
        QSignalSpy messages(&transport, &BridgeTransport::textMessageReceived);
        LogCapture log;

        RawClient client;
        QVERIFY(client.upgrade(transport.port()));
        QTRY_COMPARE(accepted.size(), 1);
        if (bytes.isEmpty())
            ::shutdown(int(client.tcp.socketDescriptor()), SHUT_WR);
        else
            client.tcp.write(bytes);

        QTRY_COMPARE(closed.size(), 1);
        QCOMPARE(closed.first().first(), accepted.first().first());
        QVERIFY(messages.isEmpty());
        if (closeCode)
            QVERIFY(!log.lines()
                         .filter(u"[BrowserBridge] connection closed (%1 "_s.arg(closeCode))
                         .isEmpty());
        // The server ends the TCP connection itself, even though this client never closes.
        QTRY_VERIFY(client.disconnected);
        QTRY_COMPARE(liveSockets(transport), 0);

        // The next client is served.
        BridgeTestClient next(kOrigin);
        QVERIFY(next.open(transport.port()));
        next.sendText(u"hello"_s);
        QTRY_COMPARE(messages.size(), 1);
        QCOMPARE(messages.first().at(1).toByteArray(), QByteArray("hello"));
    }

    void silentClientsCannotKeepTheExtensionOut()
    {
        BridgeTransport transport({ kOrigin }, smallLimits());
        QVERIFY(transport.listen(0));
        LogCapture log;
        std::vector<std::unique_ptr<RawClient>> silent;
        for (int i = 0; i < 20; ++i) {
            silent.push_back(std::make_unique<RawClient>());
            QVERIFY(silent.back()->connectTo(transport.port()));
        }
        QTest::qWait(20);
        QTRY_VERIFY(liveSockets(transport) <= 4);
        QCOMPARE(log.count(u"[BrowserBridge] more than 4 clients in their handshake; dropping "
                           "the oldest"_s),
                 1);

        BridgeTestClient extension(kOrigin);
        QVERIFY(extension.open(transport.port()));
        QVERIFY(transport.currentConnection() != 0);
        // Clients that never finish their handshake are let go; the extension stays.
        QTRY_VERIFY_WITH_TIMEOUT(
            std::all_of(silent.begin(), silent.end(),
                        [](const auto &client) { return client->disconnected; }),
            3000);
        QCOMPARE(liveSockets(transport), 1);
        QVERIFY(!extension.disconnected);
    }

    void sendingGoesOnlyToTheCurrentConnection()
    {
        BridgeTransport transport({ kOrigin }, smallLimits());
        QVERIFY(transport.listen(0));
        BridgeTestClient first(kOrigin);
        QVERIFY(first.open(transport.port()));
        const auto firstId = transport.currentConnection();
        BridgeTestClient second(kOrigin);
        QVERIFY(second.open(transport.port()));
        QVERIFY(first.waitForDisconnect());
        const auto secondId = transport.currentConnection();
        QVERIFY(secondId != firstId);

        transport.sendText(firstId, "{\"to\":\"first\"}");
        transport.sendText(secondId, "{\"to\":\"second\"}");
        QVERIFY(second.waitForMessages(1));
        QTest::qWait(20);
        QCOMPARE(second.received.size(), 1);
        QCOMPARE(second.received.first().value(u"to"_s).toString(), u"second"_s);

        // A stale identifier cancels nothing.
        QSignalSpy closed(&transport, &BridgeTransport::connectionClosed);
        transport.cancel(firstId);
        QCOMPARE(transport.currentConnection(), secondId);
        transport.cancel(secondId);
        QCOMPARE(closed.size(), 1);
        QVERIFY(second.waitForDisconnect());
        QCOMPARE(transport.currentConnection(), BridgeTransport::ConnectionId(0));
    }

    void runningOutOfDescriptorsDoesNotEndTheListener()
    {
        BridgeTransport transport({ kOrigin }, smallLimits());
        QVERIFY(transport.listen(0));
        QSignalSpy failed(&transport, &BridgeTransport::listenerFailed);
        LogCapture log;

        rlimit saved {};
        QCOMPARE(getrlimit(RLIMIT_NOFILE, &saved), 0);
        // Clients fill the table; the kernel completes their connections, and the server's
        // accept then finds no descriptor left.
        std::vector<std::unique_ptr<QTcpSocket>> clients;
        rlimit tight = saved;
        tight.rlim_cur = rlim_t(QDir(u"/proc/self/fd"_s).count()) + 16;
        QCOMPARE(setrlimit(RLIMIT_NOFILE, &tight), 0);
        for (int i = 0; i < 80; ++i) {
            auto client = std::make_unique<QTcpSocket>();
            client->connectToHost(QHostAddress::LocalHost, transport.port());
            if (!client->waitForConnected(500))
                break;
            clients.push_back(std::move(client));
        }
        QTRY_VERIFY(!log.lines().filter(u"[BrowserBridge] cannot accept a connection"_s).isEmpty());
        clients.clear();
        QCOMPARE(setrlimit(RLIMIT_NOFILE, &saved), 0);

        QTest::qWait(1100);
        BridgeTestClient extension(kOrigin);
        QVERIFY(extension.open(transport.port()));
        QVERIFY(failed.isEmpty());
        QVERIFY(transport.isListening());
    }
};

QTEST_GUILESS_MAIN(TestBridgeTransport)
#include "test_bridge_transport.moc"
