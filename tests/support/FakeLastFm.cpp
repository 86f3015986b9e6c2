#include "FakeLastFm.h"

#include <QCryptographicHash>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>

using namespace Qt::StringLiterals;

namespace {
const QStringList kNeedSession { u"user.getInfo"_s, u"track.updateNowPlaying"_s,
                                 u"track.scrobble"_s };
const QStringList kNeedPost { u"track.updateNowPlaying"_s, u"track.scrobble"_s };

FakeHttpServer::Response json(const QJsonObject &object, int status = 200)
{
    FakeHttpServer::Response response;
    response.status = status;
    response.body = QJsonDocument(object).toJson(QJsonDocument::Compact);
    response.headers.append(qMakePair(QByteArray("Content-Type"), QByteArray("application/json")));
    return response;
}

QJsonObject text(const QString &value)
{
    return { { u"#text"_s, value }, { u"corrected"_s, u"0"_s } };
}
} // namespace

FakeLastFm::FakeLastFm(const QString &apiKey, const QString &secret, QObject *parent)
    : QObject(parent), m_apiKey(apiKey), m_secret(secret)
{
    const auto handler = [this](const FakeHttpServer::Request &request) { return handle(request); };
    m_http.route("GET", u"/2.0/"_s, handler);
    m_http.route("POST", u"/2.0/"_s, handler);
}

void FakeLastFm::script(const QString &method, const FakeHttpServer::Response &response, int times,
                        int after)
{
    for (int i = 0; i < after; ++i)
        m_scripts[method].append(std::nullopt);
    for (int i = 0; i < times; ++i)
        m_scripts[method].append(response);
}

FakeHttpServer::Response FakeLastFm::error(int code, const QString &message, int status)
{
    return json({ { u"error"_s, code }, { u"message"_s, message } }, status);
}

QList<FakeLastFm::Call> FakeLastFm::calls(const QString &method) const
{
    if (method.isEmpty())
        return m_calls;
    QList<Call> matching;
    for (const Call &call : m_calls) {
        if (call.method == method)
            matching.append(call);
    }
    return matching;
}

void FakeLastFm::clear()
{
    m_calls.clear();
    m_scrobbles.clear();
    m_http.clearRequests();
}

QMap<QString, QString> FakeLastFm::parseForm(const QByteArray &form)
{
    QMap<QString, QString> params;
    const QList<QByteArray> pairs = form.split('&');
    for (QByteArray pair : pairs) {
        if (pair.isEmpty())
            continue;
        pair.replace('+', ' ');
        const qsizetype equals = pair.indexOf('=');
        const QByteArray name = equals < 0 ? pair : pair.left(equals);
        const QByteArray value = equals < 0 ? QByteArray() : pair.mid(equals + 1);
        params.insert(QString::fromUtf8(QByteArray::fromPercentEncoding(name)),
                      QString::fromUtf8(QByteArray::fromPercentEncoding(value)));
    }
    return params;
}

QString FakeLastFm::expectedSignature(const QMap<QString, QString> &params, const QString &secret)
{
    QList<QByteArray> names;
    for (auto it = params.cbegin(); it != params.cend(); ++it) {
        if (it.key() != u"format"_s && it.key() != u"callback"_s && it.key() != u"api_sig"_s)
            names.append(it.key().toUtf8());
    }
    std::sort(names.begin(), names.end());
    QByteArray signed_;
    for (const QByteArray &name : std::as_const(names))
        signed_ += name + params.value(QString::fromUtf8(name)).toUtf8();
    signed_ += secret.toUtf8();
    return QString::fromLatin1(QCryptographicHash::hash(signed_, QCryptographicHash::Md5).toHex());
}

FakeHttpServer::Response FakeLastFm::handle(const FakeHttpServer::Request &request)
{
    Call call;
    call.httpMethod = request.method;
    call.params = parseForm(request.method == "GET" ? request.rawQuery : request.body);
    call.method = call.params.value(u"method"_s);
    call.signatureValid
        = call.params.value(u"api_sig"_s) == expectedSignature(call.params, m_secret);
    m_calls.append(call);

    if (auto scripted = m_scripts.find(call.method);
        scripted != m_scripts.end() && !scripted->isEmpty()) {
        if (const std::optional<FakeHttpServer::Response> response = scripted->takeFirst())
            return *response;
    }
    return serve(call);
}

FakeHttpServer::Response FakeLastFm::serve(const Call &call)
{
    if (call.params.value(u"api_key"_s) != m_apiKey)
        return error(10, u"Invalid API key - You must be granted a valid key by last.fm"_s, 403);
    if (!call.signatureValid) {
        ++m_rejectedSignatures;
        return error(13, u"Invalid method signature supplied"_s, 403);
    }
    if (call.params.value(u"format"_s) != u"json"_s)
        return FakeHttpServer::Response::ok("<lfm status=\"ok\"></lfm>", "text/xml");
    if (kNeedPost.contains(call.method) && call.httpMethod != "POST")
        return error(3, u"Invalid Method - This method must be called with POST"_s, 405);
    if (kNeedSession.contains(call.method) && call.params.value(u"sk"_s) != sessionKey)
        return error(9, u"Invalid session key - Please re-authenticate"_s, 403);

    if (call.method == u"auth.getToken"_s)
        return json({ { u"token"_s, token } });
    if (call.method == u"auth.getSession"_s) {
        if (call.params.value(u"token"_s) != token)
            return error(4, u"Invalid authentication token supplied"_s, 403);
        if (pollsBeforeApproval < 0 || m_sessionPolls++ < pollsBeforeApproval)
            return error(14, u"Unauthorized Token - This token has not been authorized"_s);
        return json(
            { { u"session"_s,
                QJsonObject {
                    { u"name"_s, user }, { u"key"_s, sessionKey }, { u"subscriber"_s, 0 } } } });
    }
    if (call.method == u"user.getInfo"_s)
        return json({ { u"user"_s, QJsonObject { { u"name"_s, user }, { u"image"_s, images } } } });
    if (call.method == u"track.updateNowPlaying"_s) {
        return json({ { u"nowplaying"_s,
                        QJsonObject { { u"artist"_s, text(call.params.value(u"artist"_s)) },
                                      { u"track"_s, text(call.params.value(u"track"_s)) },
                                      { u"ignoredMessage"_s,
                                        QJsonObject { { u"code"_s, u"0"_s },
                                                      { u"#text"_s, QString() } } } } } });
    }
    if (call.method == u"track.scrobble"_s)
        return scrobble(call);
    return error(3, u"Invalid Method - No method with that name in this package"_s, 400);
}

FakeHttpServer::Response FakeLastFm::scrobble(const Call &call)
{
    int count = 0;
    while (call.params.contains(u"artist[%1]"_s.arg(count)))
        ++count;
    if (count == 0 || count > 50)
        return error(6, u"Invalid parameters - between 1 and 50 scrobbles per call"_s, 400);

    QJsonArray entries;
    int accepted = 0;
    for (int i = 0; i < count; ++i) {
        const auto param = [&](const QString &name) {
            return call.params.value(name + u'[' + QString::number(i) + u']');
        };
        if (param(u"track"_s).isEmpty() || param(u"timestamp"_s).isEmpty())
            return error(6, u"Invalid parameters - track and timestamp are required"_s, 400);
        const qint64 timestamp = param(u"timestamp"_s).toLongLong();
        const bool ignored = timestamp < ignoreBefore;
        if (!ignored) {
            ++accepted;
            m_scrobbles.append({ param(u"artist"_s), param(u"track"_s), param(u"album"_s),
                                 timestamp, param(u"duration"_s).toLongLong() });
        }
        entries.append(QJsonObject {
            { u"artist"_s, text(param(u"artist"_s)) },
            { u"track"_s, text(param(u"track"_s)) },
            { u"album"_s, text(param(u"album"_s)) },
            { u"timestamp"_s, param(u"timestamp"_s) },
            { u"ignoredMessage"_s,
              QJsonObject { { u"code"_s, ignored ? u"3"_s : u"0"_s },
                            { u"#text"_s, ignored ? u"Timestamp too old"_s : QString() } } } });
    }
    const int ignoredCount = count - accepted;
    const QJsonValue acceptedValue
        = countsAsStrings ? QJsonValue(QString::number(accepted)) : QJsonValue(accepted);
    const QJsonValue ignoredValue
        = countsAsStrings ? QJsonValue(QString::number(ignoredCount)) : QJsonValue(ignoredCount);
    return json(
        { { u"scrobbles"_s,
            QJsonObject {
                { u"scrobble"_s, count == 1 ? QJsonValue(entries.first()) : QJsonValue(entries) },
                { u"@attr"_s,
                  QJsonObject { { u"accepted"_s, acceptedValue },
                                { u"ignored"_s, ignoredValue } } } } } });
}
