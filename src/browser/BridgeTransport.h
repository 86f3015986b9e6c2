#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QPointer>
#include <QStringList>

class QTcpServer;
class QTcpSocket;
class WebSocketConnection;

// The browser bridge's sockets: a WebSocket server on 127.0.0.1 that lets only the allowed
// origins through its handshake, holds at most one connection (the newest), bounds what a
// client may send and what may wait for it, and hands whole text messages on. What the messages
// mean is not its concern.
class BridgeTransport : public QObject
{
    Q_OBJECT
public:
    // 0 names no connection.
    using ConnectionId = quint64;

    struct Limits
    {
        // Far above the largest real message, a hello with its catalogue (a few kilobytes).
        qint64 maxMessageBytes = 1024 * 1024;
        // Clients between their TCP connect and the end of their handshake; beyond this the
        // oldest is dropped, so a flood of silent clients cannot keep the extension out.
        int maxPendingHandshakes = 16;
        // A browser sends its handshake at once; a client that does not is let go.
        int handshakeTimeoutMs = 3000;
        // A closed connection is given this long to answer the close before it is cut.
        int closeGraceMs = 1000;
        // Vesper's answers waiting for a client that does not read; past this it is cut off.
        qint64 maxQueuedBytes = 256 * 1024;
    };

    explicit BridgeTransport(QStringList allowedOrigins, QObject *parent = nullptr);
    BridgeTransport(QStringList allowedOrigins, Limits limits, QObject *parent = nullptr);
    ~BridgeTransport() override;

    // Listens on 127.0.0.1 at that port, closing any earlier listener; false when the port
    // cannot be bound.
    bool listen(quint16 port);
    void stopListening();
    bool isListening() const;
    quint16 port() const;

    ConnectionId currentConnection() const { return m_currentId; }
    // Sends one text message to that connection when it is still the current one.
    void sendText(ConnectionId connection, const QByteArray &utf8);
    // Closes the current connection; connectionClosed follows at once.
    void cancel(ConnectionId connection);

    // Exactly one of the allowed origins, letter case included. An absent Origin header reads
    // as empty and is never allowed.
    static bool isAllowedOrigin(const QString &origin, const QStringList &allowed);

Q_SIGNALS:
    // A new connection passed the handshake and replaced any earlier one, which is closed
    // without a connectionClosed of its own.
    void connectionAccepted(ConnectionId connection);
    void textMessageReceived(ConnectionId connection, const QByteArray &utf8);
    void binaryMessageReceived(ConnectionId connection, qint64 size);
    // The current connection ended: the client left, broke the protocol, or was cancelled.
    void connectionClosed(ConnectionId connection);
    // The listener stopped working and will not recover on its own.
    void listenerFailed();

private:
    void acceptTcpConnections();
    void readHandshake(QTcpSocket *socket);
    void refuse(QTcpSocket *socket, int status);
    void acceptWebSocket(QTcpSocket *socket, const QByteArray &received);
    void onDisconnected(WebSocketConnection *socket, ConnectionId connection);
    void onAcceptError();
    void retire(WebSocketConnection *socket, quint16 closeCode, const QString &reason);

    QStringList m_allowedOrigins;
    Limits m_limits;
    QTcpServer *m_server = nullptr;
    // Oldest first; each with what it has sent of its handshake so far.
    QList<std::pair<QPointer<QTcpSocket>, QByteArray>> m_handshaking;
    QElapsedTimer m_lastFloodLine;
    QPointer<WebSocketConnection> m_current;
    ConnectionId m_currentId = 0;
    ConnectionId m_lastId = 0;
};
