#include "spotify/SpotifyLibrary.h"

#include "core/Log.h"
#include "spotify/SpotifyAuthService.h"

#include <QJsonArray>
#include <QJsonDocument>

#include <optional>

using namespace Qt::StringLiterals;

namespace {
constexpr qsizetype kTrackIDLength = 22;

QString trackURI(const QString &trackID) { return u"spotify:track:"_s + trackID; }
} // namespace

SpotifyLibrary::SpotifyLibrary(SpotifyAuthService &auth) : m_auth(auth) { }

bool SpotifyLibrary::isTrackID(const QString &trackID)
{
    if (trackID.size() != kTrackIDLength)
        return false;
    for (const QChar c : trackID) {
        const char16_t u = c.unicode();
        const bool base62
            = (u >= u'0' && u <= u'9') || (u >= u'a' && u <= u'z') || (u >= u'A' && u <= u'Z');
        if (!base62)
            return false;
    }
    return true;
}

QString SpotifyLibrary::libraryPath(const QString &trackID)
{
    return u"/me/library?uris="_s + trackURI(trackID);
}

QString SpotifyLibrary::containsPath(const QString &trackID)
{
    return u"/me/library/contains?uris="_s + trackURI(trackID);
}

bool SpotifyLibrary::firstLiked(const QByteArray &body)
{
    const QJsonDocument document = QJsonDocument::fromJson(body);
    if (!document.isArray())
        return false;
    const QJsonArray answers = document.array();
    if (answers.isEmpty())
        return false;
    for (const QJsonValue &answer : answers) {
        if (!answer.isBool())
            return false;
    }
    return answers.first().toBool();
}

QCoro::Task<bool> SpotifyLibrary::like(QString trackID)
{
    QCoro::Task<bool> changing = changeLibrary(trackID, u"PUT"_s);
    const bool changed = co_await changing;
    co_return changed;
}

QCoro::Task<bool> SpotifyLibrary::unlike(QString trackID)
{
    QCoro::Task<bool> changing = changeLibrary(trackID, u"DELETE"_s);
    const bool changed = co_await changing;
    co_return changed;
}

QCoro::Task<bool> SpotifyLibrary::changeLibrary(QString trackID, QString method)
{
    if (!isTrackID(trackID)) {
        plainLog(u"Vesper: Spotify "_s + method
                 + u" /me/library skipped — not a Spotify track ID"_s);
        co_return false;
    }
    QCoro::Task<std::optional<SpotifyAuthService::ApiReply>> call
        = m_auth.apiCall(libraryPath(trackID), method);
    const std::optional<SpotifyAuthService::ApiReply> reply = co_await call;
    co_return reply && reply->isSuccess();
}

QCoro::Task<bool> SpotifyLibrary::isLiked(QString trackID)
{
    if (!isTrackID(trackID)) {
        plainLog(u"Vesper: Spotify GET /me/library/contains skipped — not a Spotify track ID"_s);
        co_return false;
    }
    QCoro::Task<std::optional<QByteArray>> call = m_auth.request(containsPath(trackID), u"GET"_s);
    const std::optional<QByteArray> body = co_await call;
    co_return body &&firstLiked(*body);
}
