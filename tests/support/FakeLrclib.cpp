#include "FakeLrclib.h"

#include <QJsonArray>
#include <QJsonDocument>

#include <cmath>

using namespace Qt::StringLiterals;
using Request = FakeHttpServer::Request;
using Response = FakeHttpServer::Response;

namespace {
constexpr qsizetype kMaxSearchResults = 20;
constexpr double kDurationTolerance = 2;

QJsonValue textOrNull(const std::optional<QString> &text)
{
    return text ? QJsonValue(*text) : QJsonValue(QJsonValue::Null);
}
} // namespace

const QByteArray FakeLrclib::notFoundBody
    = R"({"statusCode":404,"name":"TrackNotFound","message":"Failed to find specified track"})";
const QByteArray FakeLrclib::serverErrorBody
    = R"({"statusCode":500,"name":"UnknownError","message":"An unknown error occurred"})";

QJsonObject FakeLrclib::Record::toJson() const
{
    return QJsonObject { { u"id"_s, id },
                         { u"trackName"_s, trackName },
                         { u"artistName"_s, artistName },
                         { u"albumName"_s, albumName },
                         { u"duration"_s, duration },
                         { u"instrumental"_s, instrumental },
                         { u"plainLyrics"_s, textOrNull(plainLyrics) },
                         { u"syncedLyrics"_s, textOrNull(syncedLyrics) } };
}

FakeLrclib::FakeLrclib()
{
    m_server.route("GET", u"/api/get"_s, [this](const Request &request) {
        return m_failure == Failure::None ? answerGet(request) : failureResponse(false);
    });
    m_server.route("GET", u"/api/search"_s, [this](const Request &request) {
        return m_failure == Failure::None ? answerSearch(request) : failureResponse(true);
    });
}

void FakeLrclib::add(Record record)
{
    if (record.id == 0)
        record.id = m_records.size() + 1;
    m_records.append(record);
}

QList<Request> FakeLrclib::requests() const
{
    QList<Request> matching;
    for (const Request &request : m_server.requests()) {
        if (request.path.startsWith(u"/api/"_s))
            matching.append(request);
    }
    return matching;
}

std::optional<QString> FakeLrclib::item(const Request &request, const QString &name)
{
    for (const QByteArray &pair : request.rawQuery.split('&')) {
        const qsizetype equals = pair.indexOf('=');
        const QByteArray key = equals < 0 ? pair : pair.left(equals);
        if (QString::fromUtf8(QByteArray::fromPercentEncoding(key)) != name)
            continue;
        QByteArray value = equals < 0 ? QByteArray() : pair.mid(equals + 1);
        value.replace('+', ' ');
        return QString::fromUtf8(QByteArray::fromPercentEncoding(value));
    }
    return std::nullopt;
}

Response FakeLrclib::json(int status, const QByteArray &body) const
{
    Response response = Response::withStatus(status, body);
    response.headers.append(qMakePair(QByteArray("Content-Type"), QByteArray("application/json")));
    response.delay = m_delay;
    return response;
}

Response FakeLrclib::failureResponse(bool search) const
{
    switch (m_failure) {
    case Failure::ServerError:
        return json(500, serverErrorBody);
    case Failure::MalformedJson:
        return json(200, R"([{"id":1,"trackName":"Song","syncedLyrics":"[00:01.00] cut)");
    case Failure::WrongShape:
        return json(200,
                    search ? R"({"syncedLyrics":"[00:01.00] not in an array"})"
                           : R"("[00:01.00] a bare string")");
    case Failure::None:
        break;
    }
    return json(500, serverErrorBody);
}

Response FakeLrclib::answerGet(const Request &request) const
{
    const std::optional<QString> track = item(request, u"track_name"_s);
    const std::optional<QString> artist = item(request, u"artist_name"_s);
    if (!track || !artist)
        return json(
            400, R"({"statusCode":400,"name":"ValidationError","message":"Missing parameters"})");
    const std::optional<QString> durationText = item(request, u"duration"_s);
    bool durationOk = false;
    const double duration = durationText ? durationText->toDouble(&durationOk) : 0;
    if (durationText && !durationOk)
        return json(400,
                    R"({"statusCode":400,"name":"ValidationError","message":"Invalid duration"})");

    for (const Record &record : m_records) {
        if (record.trackName.compare(*track, Qt::CaseInsensitive) != 0
            || record.artistName.compare(*artist, Qt::CaseInsensitive) != 0)
            continue;
        if (durationText && std::abs(record.duration - duration) > kDurationTolerance)
            continue;
        return json(200, QJsonDocument(record.toJson()).toJson(QJsonDocument::Compact));
    }
    return json(404, notFoundBody);
}

Response FakeLrclib::answerSearch(const Request &request) const
{
    const QString track = item(request, u"track_name"_s).value_or(QString());
    const QString artist = item(request, u"artist_name"_s).value_or(QString());
    if (track.isEmpty())
        return json(
            400, R"({"statusCode":400,"name":"ValidationError","message":"Missing track_name"})");
    QJsonArray results;
    for (const Record &record : m_records) {
        if (results.size() >= kMaxSearchResults)
            break;
        if (record.trackName.contains(track, Qt::CaseInsensitive)
            && record.artistName.contains(artist, Qt::CaseInsensitive))
            results.append(record.toJson());
    }
    return json(200, QJsonDocument(results).toJson(QJsonDocument::Compact));
}
