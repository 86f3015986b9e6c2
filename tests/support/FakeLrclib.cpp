#include "FakeLrclib.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

using namespace Qt::StringLiterals;
using Request = FakeHttpServer::Request;
using Response = FakeHttpServer::Response;

FakeLrclib::FakeLrclib()
{
    const auto answer = [this](const Request &request, bool search) {
        const QString track = item(request, u"track_name"_s).value_or(QString());
        const QString artist = item(request, u"artist_name"_s).value_or(QString());
        const auto text = [](const std::optional<QString> &value) {
            return value ? QJsonValue(*value) : QJsonValue();
        };
        QJsonArray found;
        for (const Record &record : std::as_const(m_records)) {
            if ((search ? record.trackName.contains(track) : record.trackName == track)
                && record.artistName == artist)
                found.append(QJsonObject { { u"trackName"_s, record.trackName },
                                           { u"artistName"_s, record.artistName },
                                           { u"duration"_s, record.duration },
                                           { u"plainLyrics"_s, text(record.plainLyrics) },
                                           { u"syncedLyrics"_s, text(record.syncedLyrics) } });
        }
        Response response = search ? Response::ok(QJsonDocument(found).toJson())
            : found.isEmpty()      ? Response::withStatus(404, R"({"name":"TrackNotFound"})")
                                   : Response::ok(QJsonDocument(found.first().toObject()).toJson());
        response.headers.emplaceBack("Content-Type", "application/json");
        response.delay = m_delay;
        return response;
    };
    m_server.route("GET", u"/api/get"_s, [answer](const Request &r) { return answer(r, false); });
    m_server.route("GET", u"/api/search"_s, [answer](const Request &r) { return answer(r, true); });
}

std::optional<QString> FakeLrclib::item(const Request &request, const QString &name)
{
    for (const QByteArray &pair : request.rawQuery.split('&')) {
        const qsizetype equals = pair.indexOf('=');
        if (equals >= 0 && QByteArray::fromPercentEncoding(pair.left(equals)) == name.toUtf8())
            return QString::fromUtf8(
                QByteArray::fromPercentEncoding(pair.mid(equals + 1).replace('+', ' ')));
    }
    return std::nullopt;
}
