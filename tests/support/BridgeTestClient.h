#pragma once

#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>
#include <QWebSocket>

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
        return QTest::qWaitFor(
                   [this] {
                       return socket.state() == QAbstractSocket::ConnectedState || disconnected;
                   },
                   3000)
            && !disconnected;
    }

    void send(const QJsonObject &message)
    {
        socket.sendTextMessage(
            QString::fromUtf8(QJsonDocument(message).toJson(QJsonDocument::Compact)));
    }

    bool waitForDisconnect()
    {
        return QTest::qWaitFor([this] { return disconnected; }, 3000);
    }

    QWebSocket socket;
    QList<QJsonObject> received;
    bool disconnected = false;
};
