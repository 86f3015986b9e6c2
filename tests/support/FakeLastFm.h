#pragma once

#include "FakeHttpServer.h"

#include <QJsonArray>
#include <QMap>
#include <QObject>
#include <QString>

#include <functional>

// Last.fm's web service on 127.0.0.1, checking what the real one checks: the API key, the
// api_sig signature made with the shared secret, the session key of the methods that need one,
// POST for the methods that write, and at most 50 scrobbles a call. It answers in the service's
// own shapes (a single scrobble as an object, several as a list; counts as numbers or strings;
// errors as {"error":N,"message":…}) and can be told to answer a call in any other way.
class FakeLastFm : public QObject
{
    Q_OBJECT
public:
    struct Call
    {
        QByteArray httpMethod;
        QString method;
        QMap<QString, QString> params;
        bool signatureValid = false;
    };
    struct Scrobble
    {
        QString artist;
        QString track;
        QString album;
        qint64 timestamp = 0;
        qint64 duration = 0;
    };

    FakeLastFm(const QString &apiKey, const QString &secret, QObject *parent = nullptr);

    // Origin for VESPER_LASTFM_API_URL.
    QUrl url() const { return m_http.url(); }
    FakeHttpServer &http() { return m_http; }

    // The account and the sign-in.
    QString token = QStringLiteral("fake-token-1");
    QString sessionKey = QStringLiteral("fake-session-key-5ecret");
    QString user = QStringLiteral("alice");
    // auth.getSession answers error 14 for this many polls, then gives the session; negative:
    // never approved.
    int pollsBeforeApproval = 0;
    QJsonArray images;
    // Whether counts in scrobble answers are sent as strings rather than numbers.
    bool countsAsStrings = false;
    // Scrobbles older than this timestamp are ignored (code 3), as the service does.
    qint64 ignoreBefore = 0;

    // Serves `after` calls of the method as usual, then answers the `times` calls after them with
    // the response instead.
    void script(const QString &method, const FakeHttpServer::Response &response, int times = 1,
                int after = 0);
    static FakeHttpServer::Response error(int code, const QString &message, int status = 200);

    QList<Call> calls(const QString &method = {}) const;
    QList<Scrobble> scrobbles() const { return m_scrobbles; }
    int rejectedSignatures() const { return m_rejectedSignatures; }
    void clear();

    // A form or query as a PHP-style server reads it: "+" is a space, %XX a byte.
    static QMap<QString, QString> parseForm(const QByteArray &form);
    static QString expectedSignature(const QMap<QString, QString> &params, const QString &secret);

private:
    FakeHttpServer::Response handle(const FakeHttpServer::Request &request);
    FakeHttpServer::Response serve(const Call &call);
    FakeHttpServer::Response scrobble(const Call &call);

    FakeHttpServer m_http;
    QString m_apiKey;
    QString m_secret;
    QMap<QString, QList<std::optional<FakeHttpServer::Response>>> m_scripts;
    QList<Call> m_calls;
    QList<Scrobble> m_scrobbles;
    int m_rejectedSignatures = 0;
    int m_sessionPolls = 0;
};
