#include "FakeHttpServer.h"

#include <QTcpSocket>
#include <QTimer>

#include <limits>

using namespace Qt::StringLiterals;

namespace {
// Keeps the socket's write buffer small, so that a body the client stops reading stays unsent.
constexpr qint64 kWriteWindow = 64 * 1024;
constexpr qsizetype kMaxHeadSize = 64 * 1024;

QByteArray reasonPhrase(int status)
{
    switch (status) {
    case 200:
        return "OK";
    case 201:
        return "Created";
    case 204:
        return "No Content";
    case 301:
        return "Moved Permanently";
    case 302:
        return "Found";
    case 304:
        return "Not Modified";
    case 400:
        return "Bad Request";
    case 401:
        return "Unauthorized";
    case 403:
        return "Forbidden";
    case 404:
        return "Not Found";
    case 429:
        return "Too Many Requests";
    case 500:
        return "Internal Server Error";
    case 501:
        return "Not Implemented";
    case 503:
        return "Service Unavailable";
    default:
        return "Status";
    }
}
} // namespace

struct FakeHttpServer::Connection
{
    QByteArray inbound;
    bool busy = false;
    bool closeWhenDone = false;
    Response response;
    qsizetype index = -1; // into m_bodyBytesSent
    qint64 sent = 0;
    qint64 total = 0; // body bytes to send; negative: without end
    QTimer *drip = nullptr;
};

FakeHttpServer::Response FakeHttpServer::Response::ok(const QByteArray &body,
                                                      const QByteArray &contentType)
{
    Response response;
    response.body = body;
    if (!contentType.isEmpty())
        response.headers.append({ "Content-Type", contentType });
    return response;
}

FakeHttpServer::Response FakeHttpServer::Response::withStatus(int status, const QByteArray &body)
{
    Response response;
    response.status = status;
    response.body = body;
    return response;
}

FakeHttpServer::FakeHttpServer(QObject *parent) : QObject(parent)
{
    connect(&m_server, &QTcpServer::newConnection, this, &FakeHttpServer::acceptConnections);
    if (!m_server.listen(QHostAddress::LocalHost, 0))
        qFatal("FakeHttpServer: cannot listen on 127.0.0.1: %s",
               qPrintable(m_server.errorString()));
}

FakeHttpServer::~FakeHttpServer()
{
    // The sockets are children of the server object; their state must go first.
    for (auto &[socket, state] : m_connections)
        socket->disconnect(this);
    m_connections.clear();
}

QUrl FakeHttpServer::url() const
{
    QUrl base;
    base.setScheme(u"http"_s);
    base.setHost(u"127.0.0.1"_s);
    base.setPort(m_server.serverPort());
    return base;
}

QUrl FakeHttpServer::url(const QString &path) const
{
    QUrl full = url();
    full.setPath(path);
    return full;
}

void FakeHttpServer::route(const QByteArray &method, const QString &path, Handler handler)
{
    m_routes.insert({ method, path }, std::move(handler));
}

void FakeHttpServer::route(const QByteArray &method, const QString &path, const Response &response)
{
    route(method, path, [response](const Request &) { return response; });
}

QList<FakeHttpServer::Request> FakeHttpServer::requests(const QString &path) const
{
    QList<Request> matching;
    for (const Request &request : m_requests) {
        if (request.path == path)
            matching.append(request);
    }
    return matching;
}

FakeHttpServer::Connection *FakeHttpServer::connection(QTcpSocket *socket) const
{
    const auto found = m_connections.find(socket);
    return found == m_connections.end() ? nullptr : found->second.get();
}

void FakeHttpServer::acceptConnections()
{
    while (QTcpSocket *socket = m_server.nextPendingConnection()) {
        socket->setParent(this);
        m_connections.emplace(socket, std::make_unique<Connection>());
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { readFrom(socket); });
        connect(socket, &QTcpSocket::bytesWritten, this, [this, socket] { pump(socket, false); });
        connect(socket, &QTcpSocket::disconnected, this, [this, socket] { drop(socket); });
        readFrom(socket);
    }
}

void FakeHttpServer::readFrom(QTcpSocket *socket)
{
    Connection *state = connection(socket);
    if (!state)
        return;
    state->inbound += socket->readAll();
    if (state->busy || state->closeWhenDone)
        return;

    const qsizetype headEnd = state->inbound.indexOf("\r\n\r\n");
    if (headEnd < 0) {
        if (state->inbound.size() > kMaxHeadSize)
            socket->abort();
        return;
    }

    const QList<QByteArray> lines = state->inbound.left(headEnd).split('\n');
    const QList<QByteArray> requestLine = lines.value(0).trimmed().split(' ');
    if (requestLine.size() != 3) {
        socket->abort();
        return;
    }

    Request request;
    request.method = requestLine.at(0);
    const QByteArray target = requestLine.at(1);
    const qsizetype queryStart = target.indexOf('?');
    request.path = QUrl::fromPercentEncoding(queryStart < 0 ? target : target.left(queryStart));
    if (queryStart >= 0) {
        request.rawQuery = target.mid(queryStart + 1);
        request.query.setQuery(QString::fromLatin1(request.rawQuery));
    }
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QByteArray &line = lines.at(i);
        const qsizetype colon = line.indexOf(':');
        if (colon > 0)
            request.headers.insert(line.left(colon).trimmed().toLower(),
                                   line.mid(colon + 1).trimmed());
    }

    if (!request.header("transfer-encoding").isEmpty()) {
        // Chunked request bodies are not needed by anything Vesper sends.
        state->closeWhenDone = true;
        record(state, request);
        start(socket, Response::withStatus(501));
        return;
    }
    bool lengthOk = true;
    const QByteArray lengthText = request.header("content-length");
    const qint64 length = lengthText.isEmpty() ? 0 : lengthText.toLongLong(&lengthOk);
    if (!lengthOk || length < 0) {
        socket->abort();
        return;
    }
    const qint64 bodyStart = headEnd + 4;
    if (state->inbound.size() - bodyStart < length)
        return; // wait for the rest of the body
    request.body = state->inbound.mid(bodyStart, length);
    state->inbound.remove(0, bodyStart + length);
    if (request.header("connection").toLower() == "close")
        state->closeWhenDone = true;

    record(state, request);

    const auto handler = m_routes.constFind({ request.method, request.path });
    const Response response = handler == m_routes.constEnd()
        ? Response::withStatus(404, "not found")
        : (*handler)(request);
    if (response.delay.count() > 0)
        QTimer::singleShot(response.delay, socket,
                           [this, socket, response] { start(socket, response); });
    else
        start(socket, response);
}

void FakeHttpServer::record(Connection *state, const Request &request)
{
    m_requests.append(request);
    state->index = m_bodyBytesSent.size();
    m_bodyBytesSent.append(0);
    state->busy = true;
}

void FakeHttpServer::start(QTcpSocket *socket, const Response &response)
{
    Connection *state = connection(socket);
    if (!state)
        return;
    state->response = response;
    state->sent = 0;
    state->total = response.fillerSize ? *response.fillerSize : response.body.size();
    const bool endless = state->total < 0;
    if (endless || response.hangUpAfter)
        state->closeWhenDone = true;

    bool hasLength = false;
    QByteArray head = "HTTP/1.1 " + QByteArray::number(response.status) + ' '
        + reasonPhrase(response.status) + "\r\n";
    for (const auto &[name, value] : response.headers) {
        hasLength = hasLength || name.toLower() == "content-length";
        head += name + ": " + value + "\r\n";
    }
    if (!hasLength && !endless)
        head += "Content-Length: " + QByteArray::number(state->total) + "\r\n";
    if (state->closeWhenDone)
        head += "Connection: close\r\n";
    head += "\r\n";
    socket->write(head);

    if (response.chunkInterval.count() > 0) {
        state->drip = new QTimer(socket);
        connect(state->drip, &QTimer::timeout, this, [this, socket] { pump(socket, true); });
        state->drip->start(response.chunkInterval);
        return;
    }
    pump(socket, false);
}

void FakeHttpServer::pump(QTcpSocket *socket, bool dripTick)
{
    Connection *state = connection(socket);
    if (!state || !state->busy || socket->state() != QAbstractSocket::ConnectedState)
        return;
    const Response &response = state->response;
    const bool dripping = state->drip != nullptr;
    // A drip sends one piece per tick; otherwise keep the write buffer topped up.
    if (!dripping && socket->bytesToWrite() >= kWriteWindow)
        return;
    if (dripping && !dripTick)
        return;

    qint64 limit = state->total < 0 ? std::numeric_limits<qint64>::max() : state->total;
    if (response.hangUpAfter)
        limit = qMin(limit, *response.hangUpAfter);

    do {
        const qint64 remaining = limit - state->sent;
        if (remaining <= 0)
            break;
        const qint64 piece = qMin(remaining, dripping ? response.chunkSize : kWriteWindow);
        if (response.fillerSize)
            socket->write(QByteArray(piece, 'x'));
        else
            socket->write(response.body.mid(state->sent, piece));
        state->sent += piece;
        m_bodyBytesSent[state->index] = state->sent;
    } while (!dripping && socket->bytesToWrite() < kWriteWindow);

    if (state->sent >= limit)
        finish(socket);
}

void FakeHttpServer::finish(QTcpSocket *socket)
{
    Connection *state = connection(socket);
    if (!state)
        return;
    if (state->drip) {
        state->drip->deleteLater();
        state->drip = nullptr;
    }
    state->busy = false;
    if (state->closeWhenDone) {
        socket->disconnectFromHost();
        return;
    }
    if (!state->inbound.isEmpty())
        QTimer::singleShot(0, socket, [this, socket] { readFrom(socket); });
}

void FakeHttpServer::drop(QTcpSocket *socket)
{
    Connection *state = connection(socket);
    if (!state)
        return;
    if (state->busy && state->total != 0)
        ++m_abortedByClient;
    m_connections.erase(socket);
    socket->deleteLater();
}
