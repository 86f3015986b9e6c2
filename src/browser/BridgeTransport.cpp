#include "browser/BridgeTransport.h"

#include "browser/BridgeProtocol.h"
#include "core/Log.h"

#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QWebSocket>
#include <QWebSocketCorsAuthenticator>
#include <QWebSocketServer>

using namespace Qt::StringLiterals;

namespace {
// A flood is reported at most this often, so that it cannot flood the log in turn.
constexpr qint64 kFloodLineIntervalMs = 1000;
constexpr int kAcceptRetryMs = 1000;
} // namespace

BridgeTransport::BridgeTransport(QStringList allowedOrigins, QObject *parent)
    : BridgeTransport(std::move(allowedOrigins), Limits(), parent)
{
}

BridgeTransport::BridgeTransport(QStringList allowedOrigins, Limits limits, QObject *parent)
    : QObject(parent), m_allowedOrigins(std::move(allowedOrigins)), m_limits(limits),
      m_server(new QTcpServer(this)),
      m_webSockets(new QWebSocketServer(u"Vesper"_s, QWebSocketServer::NonSecureMode, this))
{
    // The TCP side is ours so that the clients still in their handshake can be counted; the
    // WebSocket server only runs the handshake on the sockets it is handed.
    connect(m_server, &QTcpServer::newConnection, this, &BridgeTransport::acceptTcpConnections);
    connect(m_server, &QTcpServer::acceptError, this, &BridgeTransport::onAcceptError);
    m_webSockets->setHandshakeTimeout(m_limits.handshakeTimeoutMs);
    connect(m_webSockets, &QWebSocketServer::originAuthenticationRequired, this,
            &BridgeTransport::checkOrigin);
    connect(m_webSockets, &QWebSocketServer::newConnection, this,
            &BridgeTransport::acceptWebSocket);
}

BridgeTransport::~BridgeTransport()
{
    // Sockets closing as the children go must not reach a half-destroyed owner.
    m_server->disconnect(this);
    m_webSockets->disconnect(this);
    if (m_current)
        m_current->disconnect(this);
}

bool BridgeTransport::listen(quint16 port)
{
    stopListening();
    if (!m_server->listen(QHostAddress::LocalHost, port)) {
        qCInfo(lcBrowserBridge).noquote()
            << u"port %1 unavailable: %2"_s.arg(port).arg(m_server->errorString());
        return false;
    }
    return true;
}

void BridgeTransport::stopListening() { m_server->close(); }

bool BridgeTransport::isListening() const { return m_server->isListening(); }

quint16 BridgeTransport::port() const { return m_server->serverPort(); }

bool BridgeTransport::isAllowedOrigin(const QString &origin, const QStringList &allowed)
{
    return !origin.isEmpty() && allowed.contains(origin, Qt::CaseSensitive);
}

void BridgeTransport::acceptTcpConnections()
{
    while (QTcpSocket *socket = m_server->nextPendingConnection()) {
        // A socket that finished its handshake now belongs to its WebSocket.
        m_handshaking.removeIf([this](const QPointer<QTcpSocket> &pending) {
            return !pending || pending->parent() != m_server;
        });
        while (m_handshaking.size() >= m_limits.maxPendingHandshakes) {
            QPointer<QTcpSocket> oldest = m_handshaking.takeFirst();
            if (!m_lastFloodLine.isValid() || m_lastFloodLine.elapsed() >= kFloodLineIntervalMs) {
                m_lastFloodLine.start();
                qCWarning(lcBrowserBridge).noquote()
                    << u"more than %1 clients in their handshake; dropping the oldest"_s.arg(
                           m_limits.maxPendingHandshakes);
            }
            oldest->abort();
            oldest->deleteLater();
        }
        m_handshaking.append(socket);
        // Qt times a handshake out only once its first bytes came; a client that says nothing
        // at all is let go here. An upgraded socket has moved to its WebSocket by then.
        QTimer::singleShot(m_limits.handshakeTimeoutMs, socket, [this, socket] {
            if (socket->parent() == m_server) {
                socket->abort();
                socket->deleteLater();
            }
        });
        m_webSockets->handleConnection(socket);
    }
}

void BridgeTransport::checkOrigin(QWebSocketCorsAuthenticator *authenticator)
{
    // Qt matches the header name in any letter case and takes the first Origin header.
    const QString origin = authenticator->origin();
    const bool allowed = isAllowedOrigin(origin, m_allowedOrigins);
    authenticator->setAllowed(allowed);
    if (!allowed) {
        plainLog(u"Vesper: browser bridge rejected WebSocket origin "_s
                 + (origin.isEmpty() ? u"<missing>"_s : BridgeProtocol::logSafe(origin)));
    }
}

void BridgeTransport::acceptWebSocket()
{
    while (QWebSocket *socket = m_webSockets->nextPendingConnection()) {
        // Qt leaves the TCP socket with the server, where it would outlive its WebSocket until
        // the peer closes; parented to the WebSocket it goes when the connection goes.
        for (const QPointer<QTcpSocket> &tcp : std::as_const(m_handshaking)) {
            if (tcp && tcp->parent() == m_server && tcp->peerPort() == socket->peerPort()
                && tcp->peerAddress() == socket->peerAddress()) {
                tcp->setParent(socket);
                break;
            }
        }
        socket->setParent(this);
        socket->setMaxAllowedIncomingFrameSize(quint64(m_limits.maxMessageBytes));
        socket->setMaxAllowedIncomingMessageSize(quint64(m_limits.maxMessageBytes));

        const ConnectionId id = ++m_lastId;
        QPointer<QWebSocket> previous = m_current;
        m_current = socket;
        m_currentId = id;
        connect(socket, &QWebSocket::textMessageReceived, this, [this, id](const QString &text) {
            if (id == m_currentId)
                Q_EMIT textMessageReceived(id, text.toUtf8());
        });
        connect(socket, &QWebSocket::binaryMessageReceived, this,
                [this, id](const QByteArray &data) {
                    if (id == m_currentId)
                        Q_EMIT binaryMessageReceived(id, data.size());
                });
        connect(socket, &QWebSocket::disconnected, this,
                [this, socket, id] { onDisconnected(socket, id); });

        Q_EMIT connectionAccepted(id);
        if (previous)
            retire(previous, QWebSocketProtocol::CloseCodeNormal, u"replaced"_s);
    }
}

void BridgeTransport::onDisconnected(QWebSocket *socket, ConnectionId connection)
{
    const auto code = socket->closeCode();
    if (code != QWebSocketProtocol::CloseCodeNormal
        && code != QWebSocketProtocol::CloseCodeGoingAway)
        qCInfo(lcBrowserBridge).noquote() << u"connection closed (%1 %2)"_s.arg(int(code)).arg(
            BridgeProtocol::logSafe(socket->closeReason()));
    socket->disconnect(this);
    socket->deleteLater();
    if (connection == m_currentId) {
        m_current = nullptr;
        m_currentId = 0;
        Q_EMIT connectionClosed(connection);
    }
}

void BridgeTransport::retire(QWebSocket *socket, int closeCode, const QString &reason)
{
    socket->disconnect(this);
    connect(socket, &QWebSocket::disconnected, socket, &QObject::deleteLater);
    socket->close(QWebSocketProtocol::CloseCode(closeCode), reason);
    // A client that never answers the close is cut off.
    QTimer::singleShot(m_limits.closeGraceMs, socket, [socket] {
        socket->abort();
        socket->deleteLater();
    });
}

void BridgeTransport::sendText(ConnectionId connection, const QByteArray &utf8)
{
    if (connection == 0 || connection != m_currentId || !m_current)
        return;
    m_current->sendTextMessage(QString::fromUtf8(utf8));
}

void BridgeTransport::cancel(ConnectionId connection)
{
    if (connection == 0 || connection != m_currentId || !m_current)
        return;
    QWebSocket *socket = m_current;
    m_current = nullptr;
    m_currentId = 0;
    retire(socket, QWebSocketProtocol::CloseCodePolicyViolated, u"refused"_s);
    Q_EMIT connectionClosed(connection);
}

void BridgeTransport::onAcceptError()
{
    const auto error = m_server->serverError();
    qCWarning(lcBrowserBridge).noquote()
        << u"cannot accept a connection: %1"_s.arg(m_server->errorString());
    // Out of file descriptors is a passing state of the process, not a fault of the port;
    // Qt stops accepting on it, so accepting resumes once there may be room again.
    if (error == QAbstractSocket::SocketResourceError || error == QAbstractSocket::TemporaryError) {
        QTimer::singleShot(kAcceptRetryMs, m_server, [server = m_server] {
            if (server->isListening())
                server->resumeAccepting();
        });
        return;
    }
    Q_EMIT listenerFailed();
}
