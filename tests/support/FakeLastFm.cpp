#include "FakeLastFm.h"

#include <QUrlQuery>

using namespace Qt::StringLiterals;

FakeLastFm::FakeLastFm()
{
    const auto handler = [this](const FakeHttpServer::Request &request) {
        QByteArray form = request.method == "GET" ? request.rawQuery : request.body;
        form.replace('+', ' ');
        Call call { request.method, {}, {} };
        for (const auto &[name, value] :
             QUrlQuery(QString::fromLatin1(form)).queryItems(QUrl::FullyDecoded))
            call.params.insert(name, value);
        call.method = call.params.value(u"method"_s);
        m_calls.append(call);
        if (!m_next.value(call.method).isEmpty())
            return m_next[call.method].takeFirst();
        return m_answers.value(call.method, error(3, u"Invalid Method"_s, 400));
    };
    m_http.route("GET", u"/2.0/"_s, handler);
    m_http.route("POST", u"/2.0/"_s, handler);
    answer(u"auth.getToken"_s, Response::ok(R"({"token":"fake-token-1"})"));
    signInAs(u"alice"_s);
    answer(u"user.getInfo"_s, Response::ok(R"({"user":{"image":[]}})"));
    answer(u"track.updateNowPlaying"_s, Response::ok(R"({"nowplaying":{}})"));
    answer(u"track.scrobble"_s,
           Response::ok(R"({"scrobbles":{"@attr":{"accepted":"1","ignored":"0"}}})"));
}

void FakeLastFm::answerNext(const QString &method, const Response &response)
{
    m_next[method].append(response);
}

void FakeLastFm::signInAs(const QString &user, const QString &key)
{
    answer(u"auth.getSession"_s,
           Response::ok(uR"({"session":{"name":"%1","key":"%2"}})"_s.arg(user, key).toUtf8()));
}

FakeLastFm::Response FakeLastFm::error(int code, const QString &message, int status)
{
    return Response::withStatus(
        status, uR"({"error":%1,"message":"%2"})"_s.arg(code).arg(message).toUtf8());
}

QList<FakeLastFm::Call> FakeLastFm::calls(const QString &method) const
{
    QList<Call> matching;
    for (const Call &call : m_calls) {
        if (method.isEmpty() || call.method == method)
            matching.append(call);
    }
    return matching;
}
