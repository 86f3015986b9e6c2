#include "FakeHttpServer.h"

#include <QTcpSocket>
#include <QTimer>

#include <limits>

namespace {
// A small write buffer keeps a body the client stops reading unsent.
constexpr qint64 kWriteWindow = 64 * 1024;
constexpr qint64 kEndless = std::numeric_limits<qint64>::max();
} // namespace

struct FakeHttpServer::Connection
{
    QByteArray inbound;
    bool answered = false;
    Response response;
    qint64 sent = 0;
    qint64 limit = -1; // body bytes to send; negative until the response starts
    QTimer *drip = nullptr;
};

FakeHttpServer::FakeHttpServer(QObject *parent) : QObject(parent)
{
    connect(&m_server, &QTcpServer::newConnection, this, [this] {
        while (QTcpSocket *socket = m_server.nextPendingConnection()) {
            m_connections.emplace(socket, std::make_unique<Connection>());
            connect(socket, &QTcpSocket::readyRead, this, [this, socket] { readFrom(socket); });
            connect(socket, &QTcpSocket::bytesWritten, this,
                    [this, socket] { pump(socket, false); });
            connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
                if (const Connection *state = connection(socket);
                    state && state->sent < state->limit)
                    ++m_abortedByClient;
                m_connections.erase(socket);
                socket->deleteLater();
            });
        }
    });
    if (!m_server.listen(QHostAddress::LocalHost, 0))
        qFatal("FakeHttpServer: cannot listen: %s", qPrintable(m_server.errorString()));
}

FakeHttpServer::~FakeHttpServer()
{
    // The sockets are the server's children and go after the connection states.
    for (auto &[socket, state] : m_connections)
        socket->disconnect(this);
}

FakeHttpServer::Connection *FakeHttpServer::connection(QTcpSocket *socket) const
{
    const auto found = m_connections.find(socket);
    return found == m_connections.end() ? nullptr : found->second.get();
}

void FakeHttpServer::readFrom(QTcpSocket *socket)
{
    Connection *state = connection(socket);
    if (!state || state->answered)
        return;
    state->inbound += socket->readAll();
    const qsizetype headEnd = state->inbound.indexOf("\r\n\r\n");
    if (headEnd < 0)
        return;

    const QList<QByteArray> lines = state->inbound.left(headEnd).split('\n');
    const QList<QByteArray> requestLine = lines.first().trimmed().split(' ');
    Request request;
    request.method = requestLine.first();
    const QByteArray target = requestLine.value(1);
    const qsizetype queryStart = target.indexOf('?');
    request.path = QUrl::fromPercentEncoding(queryStart < 0 ? target : target.left(queryStart));
    request.rawQuery = queryStart < 0 ? QByteArray() : target.mid(queryStart + 1);
    request.query.setQuery(QString::fromLatin1(request.rawQuery));
    for (const QByteArray &line : lines.mid(1)) {
        if (const qsizetype colon = line.indexOf(':'); colon > 0)
            request.headers.insert(line.left(colon).trimmed().toLower(),
                                   line.mid(colon + 1).trimmed());
    }
    const qint64 length = request.header("content-length").toLongLong();
    if (state->inbound.size() - headEnd - 4 < length)
        return; // the rest of the body is still coming
    request.body = state->inbound.mid(headEnd + 4, length);
    state->answered = true;
    m_requests.append(request);
    const auto handler = m_routes.constFind({ request.method, request.path });
    const Response response = handler == m_routes.constEnd()
        ? Response::withStatus(404, "not found")
        : (*handler)(request);
    QTimer::singleShot(response.delay, socket,
                       [this, socket, response] { start(socket, response); });
}

void FakeHttpServer::start(QTcpSocket *socket, const Response &response)
{
    Connection *state = connection(socket);
    if (!state)
        return;
    state->response = response;
    const qint64 total = response.fillerSize.value_or(response.body.size());
    state->limit = total < 0 ? kEndless : total;

    QByteArray head = "HTTP/1.1 " + QByteArray::number(response.status) + " Fake\r\n";
    for (const auto &[name, value] : response.headers)
        head += name + ": " + value + "\r\n";
    if (total >= 0)
        head += "Content-Length: " + QByteArray::number(total) + "\r\n";
    socket->write(head + "Connection: close\r\n\r\n");
    if (response.chunkInterval.count() > 0) {
        state->drip = new QTimer(socket);
        connect(state->drip, &QTimer::timeout, this, [this, socket] { pump(socket, true); });
        state->drip->start(response.chunkInterval);
    }
    pump(socket, false);
}

void FakeHttpServer::pump(QTcpSocket *socket, bool dripTick)
{
    Connection *state = connection(socket);
    if (!state || state->limit < 0 || socket->state() != QAbstractSocket::ConnectedState)
        return;
    const bool dripping = state->drip != nullptr;
    // A drip sends one byte per tick; otherwise the write buffer is kept topped up.
    if (dripping ? dripTick : socket->bytesToWrite() < kWriteWindow) {
        do {
            const qint64 piece = qMin(state->limit - state->sent, dripping ? 1 : kWriteWindow);
            socket->write(state->response.fillerSize
                              ? QByteArray(piece, 'x')
                              : state->response.body.mid(state->sent, piece));
            state->sent += piece;
        } while (!dripping && state->sent < state->limit && socket->bytesToWrite() < kWriteWindow);
    }
    if (state->sent >= state->limit)
        socket->disconnectFromHost();
}
