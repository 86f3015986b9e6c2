#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QObject>
#include <QPair>
#include <QString>
#include <QTcpServer>
#include <QUrl>
#include <QUrlQuery>

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <optional>

class QTcpSocket;

// A small HTTP/1.1 server on 127.0.0.1 standing in for an online service. Requests are routed by
// method and path to handlers; every request is recorded so tests can check what was sent.
// Responses can be delayed, dripped, cut off mid-body or made endless, to exercise the limits
// of the code under test.
class FakeHttpServer : public QObject
{
    Q_OBJECT
public:
    struct Request
    {
        QByteArray method;
        QString path; // decoded
        QByteArray rawQuery; // as sent, without the '?'
        QUrlQuery query;
        QHash<QByteArray, QByteArray> headers; // names in lower case
        QByteArray body;

        QByteArray header(const QByteArray &name) const { return headers.value(name.toLower()); }
    };

    struct Response
    {
        int status = 200;
        QList<QPair<QByteArray, QByteArray>> headers;
        QByteArray body;
        // Waits this long before sending anything.
        std::chrono::milliseconds delay { 0 };
        // When set, the body is this many filler bytes instead of `body`; a negative size sends
        // filler without end and announces no length.
        std::optional<qint64> fillerSize;
        // Closes the connection once this many body bytes are sent, although the announced
        // length is the whole body.
        std::optional<qint64> hangUpAfter;
        // When non-zero, the body goes out in pieces of chunkSize bytes, one per interval.
        std::chrono::milliseconds chunkInterval { 0 };
        qint64 chunkSize = 1;

        static Response ok(const QByteArray &body, const QByteArray &contentType = {});
        static Response withStatus(int status, const QByteArray &body = {});
    };

    using Handler = std::function<Response(const Request &)>;

    explicit FakeHttpServer(QObject *parent = nullptr);
    ~FakeHttpServer() override;

    // "http://127.0.0.1:<port>", no path.
    QUrl url() const;
    // The URL of a path on this server.
    QUrl url(const QString &path) const;

    // Answers requests for method and path (no query) with the handler; a later route for the
    // same pair replaces the earlier one. Unrouted requests get 404.
    void route(const QByteArray &method, const QString &path, Handler handler);
    void route(const QByteArray &method, const QString &path, const Response &response);

    QList<Request> requests() const { return m_requests; }
    // Requests whose path equals the given one.
    QList<Request> requests(const QString &path) const;
    void clearRequests() { m_requests.clear(); }

    // Body bytes written so far for every response, in the order the requests came.
    QList<qint64> bodyBytesSent() const { return m_bodyBytesSent; }
    // Connections closed by the peer while a response body was still being sent.
    int abortedByClient() const { return m_abortedByClient; }

private:
    struct Connection;

    void acceptConnections();
    void readFrom(QTcpSocket *socket);
    void record(Connection *state, const Request &request);
    void start(QTcpSocket *socket, const Response &response);
    void pump(QTcpSocket *socket, bool dripTick);
    void finish(QTcpSocket *socket);
    void drop(QTcpSocket *socket);
    Connection *connection(QTcpSocket *socket) const;

    QTcpServer m_server;
    QHash<QPair<QByteArray, QString>, Handler> m_routes;
    std::map<QTcpSocket *, std::unique_ptr<Connection>> m_connections;
    QList<Request> m_requests;
    QList<qint64> m_bodyBytesSent;
    int m_abortedByClient = 0;
};
