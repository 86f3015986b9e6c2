#pragma once

#include <QDeadlineTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>
#include <QTcpSocket>
#include <QTest>
#include <QWebSocket>

// Spins the event loop until the condition holds; returns false from the caller on timeout.
#define BRIDGE_WAIT_OR_RETURN_FALSE(expr, timeout)                                                 \
    do {                                                                                           \
        QDeadlineTimer deadline_(timeout);                                                         \
        while (!(expr) && !deadline_.hasExpired())                                                 \
            QTest::qWait(5);                                                                       \
        if (!(expr))                                                                               \
            return false;                                                                          \
    } while (false)

// A WebSocket client in the test's own thread, posing as the browser extension. Server and
// client share one event loop, so every wait spins it.
class BridgeTestClient
{
public:
    explicit BridgeTestClient(const QString &origin) : socket(origin)
    {
        QObject::connect(&socket, &QWebSocket::textMessageReceived, &socket,
                         [this](const QString &text) {
                             received.append(QJsonDocument::fromJson(text.toUtf8()).object());
                         });
        QObject::connect(&socket, &QWebSocket::disconnected, &socket,
                         [this] { disconnected = true; });
    }

    // True once the upgrade succeeded; false when the server refused or closed.
    bool open(quint16 port)
    {
        socket.open(QUrl(QStringLiteral("ws://127.0.0.1:%1/").arg(port)));
        BRIDGE_WAIT_OR_RETURN_FALSE(
            socket.state() == QAbstractSocket::ConnectedState || disconnected, 3000);
        return socket.state() == QAbstractSocket::ConnectedState;
    }

    void send(const QJsonObject &message)
    {
        socket.sendTextMessage(
            QString::fromUtf8(QJsonDocument(message).toJson(QJsonDocument::Compact)));
    }
    void sendText(const QString &text) { socket.sendTextMessage(text); }

    bool waitForDisconnect(int timeoutMs = 3000)
    {
        BRIDGE_WAIT_OR_RETURN_FALSE(disconnected, timeoutMs);
        return true;
    }
    bool waitForMessages(qsizetype count, int timeoutMs = 3000)
    {
        BRIDGE_WAIT_OR_RETURN_FALSE(received.size() >= count, timeoutMs);
        return true;
    }

    QWebSocket socket;
    QList<QJsonObject> received;
    bool disconnected = false;
};

// Writes a hand-made upgrade request, for header spellings Qt's client never sends, and
// returns the status line of the answer (empty when none came).
inline QByteArray rawHandshake(quint16 port, const QByteArray &headers)
{
    QTcpSocket tcp;
    tcp.connectToHost(QHostAddress::LocalHost, port);
    if (!tcp.waitForConnected(2000))
        return {};
    tcp.write("GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
              "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n"
              + headers + "\r\n");
    QByteArray answer;
    QDeadlineTimer deadline(3000);
    while (!answer.contains("\r\n") && !deadline.hasExpired()) {
        QTest::qWait(5);
        answer += tcp.readAll();
    }
    return answer.left(answer.indexOf("\r\n"));
}
