#include "lyrics/LyricsService.h"

#include "core/Endpoints.h"
#include "core/HttpFetch.h"
#include "lyrics/LrcParser.h"

#include <QJsonDocument>
#include <QLoggingCategory>
#include <QPointer>
#include <QRegularExpression>

#include <cmath>

using namespace Qt::StringLiterals;

namespace {
Q_LOGGING_CATEGORY(lcLyrics, "northloft.VesperApp.Lyrics", QtInfoMsg)

const QString kSyncedLyrics = u"syncedLyrics"_s;
const QString kPlainLyrics = u"plainLyrics"_s;
const QString kDuration = u"duration"_s;

bool isBlank(QChar c) { return c == u' ' || c == u'\t'; }

QString trimBlanks(const QString &text)
{
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && isBlank(text.at(begin)))
        ++begin;
    while (end > begin && isBlank(text.at(end - 1)))
        --end;
    return text.sliced(begin, end - begin);
}

QString nonEmptyText(const QJsonObject &record, const QString &key)
{
    const QJsonValue value = record.value(key);
    return value.isString() ? value.toString() : QString();
}

bool hasSyncedLyrics(const QJsonObject &record)
{
    return !nonEmptyText(record, kSyncedLyrics).isEmpty();
}

bool isKnownDuration(double duration) { return std::isfinite(duration) && duration > 0; }
} // namespace

LyricsService::LyricsService(QNetworkAccessManager &network, QObject *parent)
    : QObject(parent), m_network(network)
{
}

void LyricsService::fetch(const QString &title, const QString &artist, double duration)
{
    const QString key = title + u'|' + artist;
    if (key == m_lastKey || title.isEmpty())
        return;

    m_lastKey = key;
    const quint64 serial = ++m_serial;
    Q_EMIT lastKeyChanged();
    publish({}, false, true);
    run(serial, title, artist, duration);
}

int LyricsService::currentIndex(double seconds) const
{
    if (!m_isSynced)
        return 0;
    return int(Lrc::lineIndexAt(m_lines, seconds));
}

void LyricsService::publish(const QList<LyricLine> &lines, bool synced, bool loading)
{
    if (m_lines != lines) {
        m_lines = lines;
        Q_EMIT linesChanged();
    }
    if (m_isSynced != synced) {
        m_isSynced = synced;
        Q_EMIT isSyncedChanged();
    }
    if (m_isLoading != loading) {
        m_isLoading = loading;
        Q_EMIT isLoadingChanged();
    }
}

QCoro::Task<> LyricsService::run(quint64 serial, QString title, QString artist, double duration)
{
    QPointer<LyricsService> self(this);
    const LyricsResult result = co_await load(serial, title, artist, duration);
    // A newer track was asked for meanwhile: its lookup owns the state now.
    if (!self || serial != m_serial) {
        qCDebug(lcLyrics) << "Dropping the lyrics of an earlier track";
        co_return;
    }
    publish(result.lines, result.synced && !result.lines.isEmpty(), false);
}

QCoro::Task<LyricsResult> LyricsService::load(quint64 serial, QString title, QString artist,
                                              double duration)
{
    QPointer<LyricsService> self(this);
    const auto stillWanted = [self, serial] { return self && self->m_serial == serial; };

    std::optional<LyricsResult> result = co_await get(title, artist, duration);
    if (result || !stillWanted())
        co_return result.value_or(LyricsResult());

    const QString cleaned = cleanTitle(title);
    if (cleaned != title) {
        result = co_await get(cleaned, artist, duration);
        if (result || !stillWanted())
            co_return result.value_or(LyricsResult());
    }

    result = co_await search(cleaned, artist, duration);
    co_return result.value_or(LyricsResult());
}

QUrl LyricsService::endpoint(const QString &path,
                             const QList<std::pair<QString, QString>> &items) const
{
    // Every reserved character is encoded: a "+" or "&" in a title must reach the service as
    // itself, not as a space or a new item.
    QString query;
    for (const auto &[name, value] : items) {
        if (!query.isEmpty())
            query += u'&';
        query += name + u'=' + QString::fromLatin1(QUrl::toPercentEncoding(value));
    }
    QUrl url = Endpoints::lrclib();
    url.setPath(path);
    url.setQuery(query, QUrl::StrictMode);
    return url;
}

QCoro::Task<std::optional<QJsonDocument>> LyricsService::requestJSON(QUrl url)
{
    if (!url.isValid())
        co_return std::nullopt;
    QNetworkRequest request(url);
    request.setHeader(QNetworkRequest::UserAgentHeader, Http::userAgent());
    request.setRawHeader("Accept", "application/json");
    // The status is not looked at: LRCLIB's "not found" is a JSON body like any other.
    const std::optional<Http::Reply> reply
        = co_await Http::get(m_network, request, maxBodyBytes, m_timeout);
    if (!reply) {
        qCDebug(lcLyrics) << "No answer from" << url.path();
        co_return std::nullopt;
    }
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(reply->body, &error);
    if (error.error != QJsonParseError::NoError) {
        qCDebug(lcLyrics) << "Not JSON from" << url.path() << error.errorString();
        co_return std::nullopt;
    }
    co_return document;
}

QCoro::Task<std::optional<LyricsResult>> LyricsService::get(QString title, QString artist,
                                                            double duration)
{
    QList<std::pair<QString, QString>> items { { u"track_name"_s, title },
                                               { u"artist_name"_s, artist } };
    // A duration the player does not know would only keep the service from matching.
    if (isKnownDuration(duration) && duration <= maxDuration)
        items.append({ kDuration, QString::number(qint64(std::trunc(duration))) });

    const QUrl url = endpoint(u"/api/get"_s, items);
    const std::optional<QJsonDocument> document = co_await requestJSON(url);
    co_return document ? fromRecordReply(*document) : std::nullopt;
}

QCoro::Task<std::optional<LyricsResult>> LyricsService::search(QString title, QString artist,
                                                               double duration)
{
    // Built before the co_await: GCC 12 mishandles an initializer list inside one.
    const QList<std::pair<QString, QString>> items { { u"track_name"_s, title },
                                                     { u"artist_name"_s, artist } };
    const QUrl url = endpoint(u"/api/search"_s, items);
    const std::optional<QJsonDocument> document = co_await requestJSON(url);
    co_return document ? fromSearchReply(*document, duration) : std::nullopt;
}

std::optional<LyricsResult> LyricsService::fromRecordReply(const QJsonDocument &reply)
{
    return reply.isObject() ? lyrics(reply.object()) : std::nullopt;
}

std::optional<LyricsResult> LyricsService::fromSearchReply(const QJsonDocument &reply,
                                                           double duration)
{
    if (!reply.isArray())
        return std::nullopt;
    const QJsonArray records = reply.array();
    for (const QJsonValue &record : records) {
        if (!record.isObject())
            return std::nullopt;
    }
    const qsizetype chosen = chooseCandidate(records, duration);
    if (chosen < 0)
        return std::nullopt;
    return lyrics(records.at(chosen).toObject());
}

QString LyricsService::cleanTitle(const QString &title)
{
    // A bracketed tag naming a version, then a trailing dash suffix such as "- 2009 Remaster".
    static const QRegularExpression bracketedTag(
        uR"(\s*[\(\[][^)\]]*(remaster|mix|edit|version|live|mono|stereo|remix|deluxe|bonus|radio|single|anniversary|explicit|clean)[^)\]]*[\)\]])"_s,
        QRegularExpression::CaseInsensitiveOption);
    static const QRegularExpression dashSuffix(
        uR"(\s*-\s*[^-]*(remaster|mix|edit|version|live|remix|radio|single|mono|stereo)[^-]*$)"_s,
        QRegularExpression::CaseInsensitiveOption);

    QString cleaned = title;
    for (const QRegularExpression *pattern : { &bracketedTag, &dashSuffix }) {
        if (pattern->isValid())
            cleaned.remove(*pattern);
    }
    cleaned = trimBlanks(cleaned);
    // "(Live)" alone is the title; searching for nothing would find any song of the artist.
    return cleaned.isEmpty() ? title : cleaned;
}

std::optional<LyricsResult> LyricsService::lyrics(const QJsonObject &record)
{
    const QString synced = nonEmptyText(record, kSyncedLyrics);
    if (!synced.isEmpty()) {
        QList<LyricLine> lines = Lrc::parse(synced);
        if (!lines.isEmpty())
            return LyricsResult { std::move(lines), true };
    }
    const QString plain = nonEmptyText(record, kPlainLyrics);
    if (!plain.isEmpty())
        return LyricsResult { Lrc::plainLines(plain), false };
    return std::nullopt;
}

qsizetype LyricsService::chooseCandidate(const QJsonArray &records, double duration)
{
    const bool durationDecides = isKnownDuration(duration);
    const auto distance = [duration](const QJsonObject &record) {
        const QJsonValue value = record.value(kDuration);
        const double seconds = value.isDouble() ? value.toDouble() : 0;
        return std::abs(seconds - duration);
    };

    qsizetype best = -1;
    QJsonObject bestRecord;
    for (qsizetype i = 0; i < records.size(); ++i) {
        const QJsonObject record = records.at(i).toObject();
        if (nonEmptyText(record, kSyncedLyrics).isEmpty()
            && nonEmptyText(record, kPlainLyrics).isEmpty())
            continue;
        if (best < 0) {
            best = i;
            bestRecord = record;
            continue;
        }
        const bool synced = hasSyncedLyrics(record);
        const bool bestSynced = hasSyncedLyrics(bestRecord);
        const bool better = (synced && !bestSynced)
            || (synced == bestSynced && durationDecides && distance(record) < distance(bestRecord));
        if (better) {
            best = i;
            bestRecord = record;
        }
    }
    return best;
}
