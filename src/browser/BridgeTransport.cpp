#include "browser/BridgeTransport.h"

#include "browser/BridgeProtocol.h"
#include "browser/WebSocketConnection.h"
#include "browser/WebSocketHandshake.h"
#include "core/Log.h"

#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

using namespace Qt::StringLiterals;

namespace {
// A flood is reported at most this often, so that it cannot flood the log in turn.
constexpr qint64 kFloodLineIntervalMs = 1000;
constexpr int kAcceptRetryMs = 1000;

void drop(QTcpSocket *socket)
{
    socket->abort();
    socket->deleteLater();
}
} // namespace

BridgeTransport::BridgeTransport(QStringList allowedOrigins, QObject *parent)
    : BridgeTransport(std::move(allowedOrigins), Limits(), parent)
{
}

BridgeTransport::BridgeTransport(QStringList allowedOrigins, Limits limits, QObject *parent)
    : QObject(parent), m_allowedOrigins(std::move(allowedOrigins)), m_limits(limits),
      m_server(new QTcpServer(this))
{
    connect(m_server, &QTcpServer::newConnection, this, &BridgeTransport::acceptTcpConnections);
    connect(m_server, &QTcpServer::acceptError, this, &BridgeTransport::onAcceptError);
}

BridgeTransport::~BridgeTransport()
{
    // Sockets closing as the children go must not reach a half-destroyed owner.
    m_server->disconnect(this);
    for (const auto &[socket, received] : std::as_const(m_handshaking)) {
        if (socket)
            socket->disconnect(this);
    }
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
        // A socket that finished its handshake now belongs to its connection.
        m_handshaking.removeIf([this](const auto &pending) {
            return !pending.first || pending.first->parent() != m_server;
        });
        while (m_handshaking.size() >= m_limits.maxPendingHandshakes) {
            QPointer<QTcpSocket> oldest = m_handshaking.takeFirst().first;
            if (!m_lastFloodLine.isValid() || m_lastFloodLine.elapsed() >= kFloodLineIntervalMs) {
                m_lastFloodLine.start();
                qCWarning(lcBrowserBridge).noquote()
                    << u"more than %1 clients in their handshake; dropping the oldest"_s.arg(
                           m_limits.maxPendingHandshakes);
            }
            oldest->disconnect(this);
            drop(oldest);
        }
        m_handshaking.append({ socket, QByteArray() });
        // A browser sends its whole handshake at once; a client still in it by then is let go.
        // An upgraded socket has moved to its connection.
        QTimer::singleShot(m_limits.handshakeTimeoutMs, socket, [this, socket] {
            if (socket->parent() == m_server)
                drop(socket);
        });
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { readHandshake(socket); });
    }
}

void BridgeTransport::readHandshake(QTcpSocket *socket)
{
    const auto pending
        = std::find_if(m_handshaking.begin(), m_handshaking.end(),
                       [socket](const auto &entry) { return entry.first == socket; });
    if (pending == m_handshaking.end())
        return;
    QByteArray &received = pending->second;
    received += socket->read(WebSocketHandshake::maxRequestBytes - received.size() + 1);
    const WebSocketHandshake::Reading reading = WebSocketHandshake::read(received);
    switch (reading.result) {
    case WebSocketHandshake::Reading::Result::Incomplete:
        return;
    case WebSocketHandshake::Reading::Result::Refused:
        refuse(socket, reading.status);
        return;
    case WebSocketHandshake::Reading::Result::Upgrade:
        break;
    }
    const QString origin = QString::fromUtf8(reading.origin);
    if (!isAllowedOrigin(origin, m_allowedOrigins)) {
        plainLog(u"Vesper: browser bridge rejected WebSocket origin "_s
                 + (origin.isEmpty() ? u"<missing>"_s : BridgeProtocol::logSafe(origin)));
        refuse(socket, 403);
        return;
    }
    socket->write(WebSocketHandshake::acceptAnswer(reading.key));
    // Frames may have come with the request; they are the connection's.
    const QByteArray rest = received.mid(reading.length) + socket->readAll();
    m_handshaking.erase(pending);
    acceptWebSocket(socket, rest);
}

void BridgeTransport::refuse(QTcpSocket *socket, int status)
{
    m_handshaking.removeIf([socket](const auto &entry) { return entry.first == socket; });
    socket->disconnect(this);
    connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    socket->write(WebSocketHandshake::refusal(status));
    socket->disconnectFromHost();
}

void BridgeTransport::acceptWebSocket(QTcpSocket *tcp, const QByteArray &received)
{
    tcp->disconnect(this);
    auto *socket = new WebSocketConnection(
        tcp, received, { m_limits.maxMessageBytes, m_limits.maxQueuedBytes, m_limits.closeGraceMs },
        this);

    const ConnectionId id = ++m_lastId;
    QPointer<WebSocketConnection> previous = m_current;
    m_current = socket;
    m_currentId = id;
    connect(socket, &WebSocketConnection::textMessageReceived, this,
            [this, id](const QByteArray &utf8) {
                if (id == m_currentId)
                    Q_EMIT textMessageReceived(id, utf8);
            });
    connect(socket, &WebSocketConnection::binaryMessageReceived, this, [this, id](qint64 size) {
        if (id == m_currentId)
            Q_EMIT binaryMessageReceived(id, size);
    });
    connect(socket, &WebSocketConnection::disconnected, this,
            [this, socket, id] { onDisconnected(socket, id); });

    Q_EMIT connectionAccepted(id);
    if (previous)
        retire(previous, WebSocketFrames::Normal, u"replaced"_s);
}

void BridgeTransport::onDisconnected(WebSocketConnection *socket, ConnectionId connection)
{
    const quint16 code = socket->closeCode();
    if (code != WebSocketFrames::Normal && code != WebSocketFrames::GoingAway
        && code != WebSocketFrames::NoStatus)
        qCInfo(lcBrowserBridge).noquote() << u"connection closed (%1 %2)"_s.arg(code).arg(
            BridgeProtocol::logSafe(socket->closeReason()));
    socket->disconnect(this);
    socket->deleteLater();
    if (connection == m_currentId) {
        m_current = nullptr;
        m_currentId = 0;
        Q_EMIT connectionClosed(connection);
    }
}

void BridgeTransport::retire(WebSocketConnection *socket, quint16 closeCode, const QString &reason)
{
    socket->disconnect(this);
    connect(socket, &WebSocketConnection::disconnected, socket, &QObject::deleteLater);
    socket->close(closeCode, reason);
}

void BridgeTransport::sendText(ConnectionId connection, const QByteArray &utf8)
{
    if (connection == 0 || connection != m_currentId || !m_current)
        return;
    m_current->sendText(utf8);
}

void BridgeTransport::cancel(ConnectionId connection)
{
    if (connection == 0 || connection != m_currentId || !m_current)
        return;
    WebSocketConnection *socket = m_current;
    m_current = nullptr;
    m_currentId = 0;
    retire(socket, WebSocketFrames::PolicyViolated, u"refused"_s);
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
