#pragma once

#include "FakeHttpServer.h"

#include <QMap>
#include <QString>

// Last.fm's web service on 127.0.0.1, answering canned routes: each method has a standing answer
// (a sign-in as "alice", an empty profile, scrobbles accepted), which a test can replace or
// precede with one-off answers. Every call is recorded with its decoded parameters. The
// signature is not checked here: its rule is tested on the published example, and the end-to-end
// run's stand-in checks what the binary signs.
class FakeLastFm
{
public:
    using Response = FakeHttpServer::Response;
    struct Call
    {
        QByteArray httpMethod;
        QString method;
        QMap<QString, QString> params;
    };

    static inline const QString sessionKey = QStringLiteral("fake-session-key-5ecret");

    FakeLastFm();

    // Origin for VESPER_LASTFM_API_URL.
    QUrl url() const { return m_http.url(); }
    // Every later call of the method gets this answer.
    void answer(const QString &method, const Response &response) { m_answers[method] = response; }
    // The next call of the method gets this answer, once; queued before the standing answer.
    void answerNext(const QString &method, const Response &response);
    // A sign-in approved for this user, with this session key.
    void signInAs(const QString &user, const QString &key = sessionKey);
    static Response error(int code, const QString &message, int status = 200);

    QList<Call> calls(const QString &method = {}) const;

private:
    FakeHttpServer m_http;
    QMap<QString, Response> m_answers;
    QMap<QString, QList<Response>> m_next;
    QList<Call> m_calls;
};
