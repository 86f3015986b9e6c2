#include "FakeLrclib.h"

#include <QJsonArray>
#include <QJsonDocument>

#include <cmath>

using namespace Qt::StringLiterals;
using Request = FakeHttpServer::Request;
using Response = FakeHttpServer::Response;

QJsonObject FakeLrclib::Record::toJson() const
{
    return { { u"trackName"_s, trackName },
             { u"artistName"_s, artistName },
             { u"duration"_s, duration },
             { u"instrumental"_s, instrumental },
             { u"plainLyrics"_s, plainLyrics ? QJsonValue(*plainLyrics) : QJsonValue() },
             { u"syncedLyrics"_s, syncedLyrics ? QJsonValue(*syncedLyrics) : QJsonValue() } };
}

FakeLrclib::FakeLrclib()
{
    m_server.route("GET", u"/api/get"_s, [this](const Request &request) {
        const QString track = item(request, u"track_name"_s).value_or(QString());
        const QString artist = item(request, u"artist_name"_s).value_or(QString());
        const std::optional<QString> duration = item(request, u"duration"_s);
        for (const Record &record : std::as_const(m_records)) {
            if (record.trackName.compare(track, Qt::CaseInsensitive) == 0
                && record.artistName.compare(artist, Qt::CaseInsensitive) == 0
                && (!duration || std::abs(record.duration - duration->toDouble()) <= 2))
                return json(200, QJsonDocument(record.toJson()));
        }
        return json(404, QJsonDocument(QJsonObject { { u"name"_s, u"TrackNotFound"_s } }));
    });
    m_server.route("GET", u"/api/search"_s, [this](const Request &request) {
        QJsonArray results;
        for (const Record &record : std::as_const(m_records)) {
            if (record.trackName.contains(item(request, u"track_name"_s).value_or(u"?"_s),
                                          Qt::CaseInsensitive)
                && record.artistName.contains(item(request, u"artist_name"_s).value_or(QString()),
                                              Qt::CaseInsensitive))
                results.append(record.toJson());
        }
        return json(200, QJsonDocument(results));
    });
}

std::optional<QString> FakeLrclib::item(const Request &request, const QString &name)
{
    for (const QByteArray &pair : request.rawQuery.split('&')) {
        const qsizetype equals = pair.indexOf('=');
        if (equals < 0
            || QString::fromUtf8(QByteArray::fromPercentEncoding(pair.left(equals))) != name)
            continue;
        const QByteArray value = pair.mid(equals + 1).replace('+', ' ');
        return QString::fromUtf8(QByteArray::fromPercentEncoding(value));
    }
    return std::nullopt;
}

Response FakeLrclib::json(int status, const QJsonDocument &body) const
{
    Response response = Response::withStatus(status, body.toJson(QJsonDocument::Compact));
    response.headers.emplaceBack("Content-Type", "application/json");
    response.delay = m_delay;
    return response;
}
