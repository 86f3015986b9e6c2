#pragma once

#include "FakeHttpServer.h"

#include <QMap>
#include <QString>

// Last.fm's web service on 127.0.0.1 answering canned routes: a standing answer per method (a
// sign-in as "alice", an empty profile, scrobbles accepted), replaced or preceded by one-off
// answers; every call is recorded. Signatures are checked by the end-to-end run's stand-in.
class FakeLastFm
{
public:
    using Response = FakeHttpServer::Response;
    struct Call
    {
        QString method;
        QMap<QString, QString> params;
    };
    static inline const QString sessionKey = QStringLiteral("fake-session-key-5ecret");

    FakeLastFm()
    {
        const auto handler = [this](const FakeHttpServer::Request &request) {
            QByteArray form = request.method == "GET" ? request.rawQuery : request.body;
            Call call;
            for (const auto &[name, value] : QUrlQuery(QString::fromLatin1(form.replace('+', ' ')))
                                                 .queryItems(QUrl::FullyDecoded))
                call.params.insert(name, value);
            call.method = call.params.value(QStringLiteral("method"));
            m_calls.append(call);
            if (!m_next.value(call.method).isEmpty())
                return m_next[call.method].takeFirst();
            return m_answers.value(call.method, Response::withStatus(400, R"({"error":3})"));
        };
        m_http.route("GET", QStringLiteral("/2.0/"), handler);
        m_http.route("POST", QStringLiteral("/2.0/"), handler);
        answer(QStringLiteral("auth.getToken"), Response::ok(R"({"token":"fake-token-1"})"));
        signInAs(QStringLiteral("alice"));
        answer(QStringLiteral("user.getInfo"), Response::ok(R"({"user":{"image":[]}})"));
        answer(QStringLiteral("track.updateNowPlaying"), Response::ok(R"({"nowplaying":{}})"));
        answer(QStringLiteral("track.scrobble"),
               Response::ok(R"({"scrobbles":{"@attr":{"accepted":"1","ignored":"0"}}})"));
    }

    // Origin for VESPER_LASTFM_API_URL.
    QUrl url() const { return m_http.url(); }
    // Every later call of the method gets this answer.
    void answer(const QString &method, const Response &response) { m_answers[method] = response; }
    // The next call of the method gets this answer, once, before the standing one.
    void answerNext(const QString &method, const Response &response)
    {
        m_next[method].append(response);
    }
    // A sign-in approved for this user, with this session key.
    void signInAs(const QString &user, const QString &key = sessionKey)
    {
        answer(
            QStringLiteral("auth.getSession"),
            Response::ok(
                QStringLiteral(R"({"session":{"name":"%1","key":"%2"}})").arg(user, key).toUtf8()));
    }
    static Response error(int code, const QString &message, int status = 200)
    {
        return Response::withStatus(
            status,
            QStringLiteral(R"({"error":%1,"message":"%2"})").arg(code).arg(message).toUtf8());
    }

    QList<Call> calls(const QString &method = {}) const
    {
        QList<Call> matching = m_calls;
        matching.removeIf(
            [&](const Call &call) { return !method.isEmpty() && call.method != method; });
        return matching;
    }

private:
    FakeHttpServer m_http;
    QMap<QString, Response> m_answers;
    QMap<QString, QList<Response>> m_next;
    QList<Call> m_calls;
};
