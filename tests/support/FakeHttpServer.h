#pragma once

#include <QHash>
#include <QTcpServer>
#include <QUrl>
#include <QUrlQuery>

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <optional>

class QTcpSocket;

// An HTTP/1.1 server on 127.0.0.1 standing in for an online service: requests are routed by
// method and path and recorded, one per connection. Responses can be delayed, dripped or made
// endless, to reach the limits of the code under test.
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
        std::chrono::milliseconds delay { 0 };
        // This many filler bytes instead of `body`; negative: without end, and no length.
        std::optional<qint64> fillerSize;
        // When non-zero, the body goes out one byte per interval.
        std::chrono::milliseconds chunkInterval { 0 };

        static Response ok(const QByteArray &body, const QByteArray &contentType = {})
        {
            Response response = withStatus(200, body);
            if (!contentType.isEmpty())
                response.headers.append({ "Content-Type", contentType });
            return response;
        }
        static Response withStatus(int status, const QByteArray &body = {})
        {
            Response response;
            response.status = status;
            response.body = body;
            return response;
        }
    };

    using Handler = std::function<Response(const Request &)>;

    explicit FakeHttpServer(QObject *parent = nullptr);
    ~FakeHttpServer() override;

    // "http://127.0.0.1:<port>", with the path if one is given.
    QUrl url(const QString &path = {}) const
    {
        return QUrl(QStringLiteral("http://127.0.0.1:%1").arg(m_server.serverPort()) + path);
    }

    // A later route for the same method and path replaces the earlier one; others get 404.
    void route(const QByteArray &method, const QString &path, Handler handler)
    {
        m_routes.insert({ method, path }, std::move(handler));
    }
    void route(const QByteArray &method, const QString &path, const Response &response)
    {
        route(method, path, [response](const Request &) { return response; });
    }

    QList<Request> requests() const { return m_requests; }
    QList<Request> requests(const QString &path) const
    {
        QList<Request> matching = m_requests;
        matching.removeIf([&path](const Request &request) { return request.path != path; });
        return matching;
    }
    void clearRequests() { m_requests.clear(); }

    // Connections the client closed while a body was still being sent.
    int abortedByClient() const { return m_abortedByClient; }

private:
    struct Connection;

    void readFrom(QTcpSocket *socket);
    void start(QTcpSocket *socket, const Response &response);
    void pump(QTcpSocket *socket, bool dripTick);
    Connection *connection(QTcpSocket *socket) const;

    QTcpServer m_server;
    QHash<QPair<QByteArray, QString>, Handler> m_routes;
    std::map<QTcpSocket *, std::unique_ptr<Connection>> m_connections;
    QList<Request> m_requests;
    int m_abortedByClient = 0;
};
