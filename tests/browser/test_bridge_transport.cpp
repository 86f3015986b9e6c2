#include "LogCapture.h"
#include "browser/BridgeTransport.h"

#include <QDir>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

#include <sys/resource.h>
#include <sys/socket.h>

using namespace Qt::StringLiterals;

namespace {

const QString kOrigin = u"chrome-extension://abcdefghijklmnopabcdefghijklmnop"_s;

// A client frame: the payload length in its shortest form, then a zero mask.
QByteArray frame(char first, const QByteArray &payload, quint64 size = 0)
{
    size = size ? size : quint64(payload.size());
    const int lengthBytes = size < 126 ? 0 : size < 65536 ? 2 : 8;
    QByteArray bytes(1, first);
    bytes.append(char(0x80 | (lengthBytes == 0 ? size : lengthBytes == 2 ? 126 : 127)));
    for (int byte = lengthBytes - 1; byte >= 0; --byte)
        bytes.append(char((size >> (8 * byte)) & 0xff));
    return bytes + QByteArray(4, '\0') + payload;
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
    // The status code answering an upgrade request with these headers; 0 for none.
    int upgrade(quint16 port, const QByteArray &headers = "Origin: " + kOrigin.toUtf8() + "\r\n")
    {
        if (!connectTo(port))
            return 0;
        tcp.write("GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: Upgrade"
                  "\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n"
                  + headers + "\r\n");
        QByteArray answer;
        const auto answered = [&] { return (answer += tcp.readAll()).contains("\r\n\r\n"); };
        return QTest::qWaitFor(answered, 3000) ? answer.mid(9, 3).toInt() : 0;
    }
};

} // namespace

class TestBridgeTransport : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void originsAreMatchedExactly_data()
    {
        QTest::addColumn<QByteArray>("headers");
        QTest::addColumn<int>("status");
        const QByteArray ours = kOrigin.toUtf8();
        QTest::newRow("ours, header name in any case") << "oRIGIN: " + ours + "\r\n" << 101;
        QTest::newRow("foreign") << QByteArray("Origin: https://evil.example\r\n") << 403;
        QTest::newRow("missing") << QByteArray() << 403;
        QTest::newRow("ours in capitals") << "Origin: " + ours.toUpper() + "\r\n" << 403;
        QTest::newRow("ours second") << "Origin: x\r\nOrigin: " + ours + "\r\n" << 403;
    }
    void originsAreMatchedExactly()
    {
        QFETCH(QByteArray, headers);
        BridgeTransport transport({ kOrigin });
        QVERIFY(transport.listen(0));
        // The same port stays free elsewhere: nothing listens on all interfaces.
        QVERIFY(QTcpServer().listen(QHostAddress(u"127.0.0.2"_s), transport.port()));
        RawClient client;
        QTEST(client.upgrade(transport.port(), headers), "status");
    }

    void protocolBreachesCloseOnlyThatConnection_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<int>("closeCode");
        const QByteArray half(600 * 1024, 'x');
        QTest::newRow("invalid UTF-8") << frame('\x81', "{\"t\":\"\xc3\x28\"}") << 1007;
        QTest::newRow("oversized frame") << frame('\x81', "x", 2 * 1024 * 1024) << 1009;
        QTest::newRow("oversized message") << frame('\x01', half) + frame('\x80', half) << 1009;
        QTest::newRow("ping over 125 bytes") << frame('\x89', QByteArray(126, 'p')) << 1002;
        QTest::newRow("unmasked") << QByteArray("\x81\x05hello") << 1002;
        QTest::newRow("half close") << QByteArray() << 0;
    }
    void protocolBreachesCloseOnlyThatConnection()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(int, closeCode);
        BridgeTransport transport({ kOrigin });
        QVERIFY(transport.listen(0));
        QSignalSpy closed(&transport, &BridgeTransport::connectionClosed);
        QSignalSpy messages(&transport, &BridgeTransport::textMessageReceived);
        LogCapture log;
        RawClient client;
        QCOMPARE(client.upgrade(transport.port()), 101);
        if (bytes.isEmpty())
            ::shutdown(int(client.tcp.socketDescriptor()), SHUT_WR);
        client.tcp.write(bytes);

        QTRY_COMPARE(closed.size(), 1);
        const QString closedLine = u"[BrowserBridge] connection closed (%1 "_s.arg(closeCode);
        QCOMPARE(log.lines().filter(closedLine).size(), closeCode ? 1 : 0);
        // The server ends the TCP connection itself and keeps no socket of it.
        QTRY_VERIFY(client.disconnected);
        QTRY_COMPARE(transport.findChildren<QTcpSocket *>().size(), 0);

        RawClient next;
        QCOMPARE(next.upgrade(transport.port()), 101);
        next.tcp.write(frame('\x81', "hello"));
        QTRY_COMPARE(messages.size(), 1);
    }

    // Several pings that come together get one pong, for the latest; a client that does not read
    // what it is sent is cut off rather than have it pile up.
    void clientsThatDoNotReadCannotGrowWhatWaitsForThem()
    {
        BridgeTransport transport({ kOrigin });
        QVERIFY(transport.listen(0));
        QSignalSpy accepted(&transport, &BridgeTransport::connectionAccepted);
        QSignalSpy closed(&transport, &BridgeTransport::connectionClosed);
        RawClient client;
        QCOMPARE(client.upgrade(transport.port()), 101);
        QByteArray pings;
        for (int i = 0; i < 1000; ++i)
            pings += frame('\x89', QByteArray::number(i));
        client.tcp.write(pings);
        QByteArray answer;
        QTRY_VERIFY((answer += client.tcp.readAll())
                        .endsWith("\x8a\x03"
                                  "999"));
        QCOMPARE_LT(answer.count("\x8a"), 10);

        LogCapture log;
        client.tcp.setReadBufferSize(1);
        const QByteArray message(64 * 1024, 'm');
        for (int sent = 0; sent < 400 && closed.isEmpty(); ++sent) {
            transport.sendText(accepted.at(0).at(0).value<BridgeTransport::ConnectionId>(),
                               message);
            QTest::qWait(1);
        }
        QCOMPARE(closed.size(), 1);
        QCOMPARE(log.lines().filter(u"[BrowserBridge] connection closed (1008 "_s).size(), 1);
    }

    void silentClientsCannotKeepTheExtensionOut()
    {
        BridgeTransport transport({ kOrigin });
        QVERIFY(transport.listen(0));
        std::vector<std::unique_ptr<RawClient>> silent;
        const auto connectSilent = [&](int count) {
            while (count-- > 0) {
                silent.push_back(std::make_unique<RawClient>());
                silent.back()->connectTo(transport.port());
            }
        };
        // At most 16 clients wait in their handshake; the oldest make room.
        connectSilent(20);
        QTRY_VERIFY_WITH_TIMEOUT(silent[3]->disconnected, 1000);
        QVERIFY(!silent[4]->disconnected);
        RawClient extension;
        QCOMPARE(extension.upgrade(transport.port()), 101);
        connectSilent(4);
        // Clients that never finish their handshake are let go after 3 s; the extension stays.
        const auto gone = [](const auto &client) { return client->disconnected; };
        QTRY_VERIFY_WITH_TIMEOUT(std::all_of(silent.begin(), silent.end(), gone), 5000);
        QCOMPARE(transport.findChildren<QTcpSocket *>().size(), 1);
        QVERIFY(!extension.disconnected);
    }

    void runningOutOfDescriptorsDoesNotEndTheListener()
    {
        BridgeTransport transport({ kOrigin });
        QVERIFY(transport.listen(0));
        QSignalSpy failed(&transport, &BridgeTransport::listenerFailed);
        LogCapture log;
        // Clients fill the table; the kernel completes their connections, and the server's
        // accept then finds no descriptor left.
        rlimit saved {};
        QCOMPARE(getrlimit(RLIMIT_NOFILE, &saved), 0);
        const rlimit tight { rlim_t(QDir(u"/proc/self/fd"_s).count()) + 16, saved.rlim_max };
        QCOMPARE(setrlimit(RLIMIT_NOFILE, &tight), 0);
        std::vector<std::unique_ptr<QTcpSocket>> clients;
        do {
            clients.push_back(std::make_unique<QTcpSocket>());
            clients.back()->connectToHost(QHostAddress::LocalHost, transport.port());
        } while (clients.back()->waitForConnected(500) && clients.size() < 80);
        QTRY_VERIFY(!log.lines().filter(u"[BrowserBridge] cannot accept a connection"_s).isEmpty());
        clients.clear();
        QCOMPARE(setrlimit(RLIMIT_NOFILE, &saved), 0);

        // Accepting resumes on its own once descriptors are free again.
        RawClient extension;
        QCOMPARE(extension.upgrade(transport.port()), 101);
        QVERIFY(failed.isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestBridgeTransport)
#include "test_bridge_transport.moc"
