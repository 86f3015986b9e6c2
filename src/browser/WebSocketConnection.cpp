#include "browser/WebSocketConnection.h"

#include <QTcpSocket>
#include <QTimer>

using namespace Qt::StringLiterals;
using namespace WebSocketFrames;

namespace {
// Read in pieces, so that a flood is answered piece by piece rather than held whole.
constexpr qint64 kReadChunkBytes = 64 * 1024;
} // namespace

WebSocketConnection::WebSocketConnection(QTcpSocket *socket, const QByteArray &received,
                                         Limits limits, QObject *parent)
    : QObject(parent), m_socket(socket), m_reader(limits.maxMessageBytes), m_limits(limits)
{
    socket->setParent(this);
    socket->setReadBufferSize(kReadChunkBytes);
    connect(socket, &QTcpSocket::readyRead, this, &WebSocketConnection::readAvailable);
    connect(socket, &QTcpSocket::disconnected, this, &WebSocketConnection::onSocketDisconnected);
    m_reader.append(received);
    // Queued, so that whoever made the connection can listen to it first.
    QMetaObject::invokeMethod(
        this,
        [this] {
            if (m_socket->state() == QAbstractSocket::ConnectedState)
                readAvailable();
            else
                onSocketDisconnected();
        },
        Qt::QueuedConnection);
}

void WebSocketConnection::readAvailable()
{
    std::optional<QByteArray> latestPing;
    while (!m_ended) {
        const std::optional<Event> event = m_reader.next();
        if (!event) {
            if (m_socket->bytesAvailable() <= 0)
                break;
            m_reader.append(m_socket->read(kReadChunkBytes));
            continue;
        }
        switch (event->kind) {
        case Event::Kind::Text:
            // Once Vesper has closed, what still comes is not listened to.
            if (!m_closeSent)
                Q_EMIT textMessageReceived(event->payload);
            break;
        case Event::Kind::Binary:
            if (!m_closeSent)
                Q_EMIT binaryMessageReceived(event->payload.size());
            break;
        case Event::Kind::Ping:
            latestPing = event->payload;
            break;
        case Event::Kind::Pong:
            break;
        case Event::Kind::Close:
            // The client's close is answered with its own code.
            closeAfter(event->code, QString::fromUtf8(event->payload),
                       event->code == NoStatus ? encode(Close, {}) : encodeClose(event->code, {}));
            return;
        case Event::Kind::Failure:
            closeAfter(event->code, QString::fromUtf8(event->payload),
                       encodeClose(event->code, event->payload));
            return;
        }
    }
    if (latestPing && !m_closeSent && !m_ended)
        write(encode(Pong, *latestPing));
}

void WebSocketConnection::sendText(const QByteArray &utf8)
{
    if (!m_closeSent && !m_ended)
        write(encode(Text, utf8));
}

void WebSocketConnection::close(quint16 code, const QString &reason)
{
    if (m_closeSent || m_ended)
        return;
    m_closeSent = true;
    m_closeCode = code;
    m_closeReason = reason;
    write(encodeClose(code, reason.toUtf8()));
    // A client that never answers the close is cut off.
    QTimer::singleShot(m_limits.closeGraceMs, this, [this] {
        if (!m_ended)
            m_socket->abort();
    });
}

void WebSocketConnection::write(const QByteArray &frame)
{
    m_socket->write(frame);
    if (m_socket->bytesToWrite() <= m_limits.maxQueuedBytes)
        return;
    m_closeCode = PolicyViolated;
    m_closeReason = u"the client does not read what it is sent"_s;
    m_socket->abort();
}

void WebSocketConnection::closeAfter(quint16 code, const QString &reason,
                                     const QByteArray &closeFrame)
{
    if (!m_closeSent) {
        m_closeSent = true;
        m_closeCode = code;
        m_closeReason = reason;
        write(closeFrame);
    }
    // The server ends the TCP connection once the close is exchanged (RFC 6455, 7.1.1); one that
    // cannot be flushed is cut after the grace.
    m_socket->disconnectFromHost();
    QTimer::singleShot(m_limits.closeGraceMs, this, [this] {
        if (!m_ended)
            m_socket->abort();
    });
}

void WebSocketConnection::onSocketDisconnected()
{
    if (std::exchange(m_ended, true))
        return;
    Q_EMIT disconnected();
}
