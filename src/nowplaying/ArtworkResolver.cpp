#include "nowplaying/ArtworkResolver.h"

#include "core/Endpoints.h"
#include "core/HttpFetch.h"
#include "models/Source.h"
#include "platform/DesktopPlayers.h"

#include <QBuffer>
#include <QFile>
#include <QFileInfo>
#include <QFuture>
#include <QImageReader>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLoggingCategory>
#include <QNetworkAccessManager>
#include <QNetworkRequest>
#include <QPromise>
#include <QThreadPool>

#include <qcoro/qcorofuture.h>

#include <memory>

using namespace Qt::StringLiterals;

namespace {
Q_LOGGING_CATEGORY(lcArtwork, "northloft.VesperApp.Artwork", QtInfoMsg)

const QString kSpotifyID = u"com.spotify.client"_s;
// Reads the image in the bytes. Dimensions are checked from the header first: an image that
// announces an absurd size is refused before anything is allocated for it.
QImage decodeImage(const QByteArray &bytes)
{
    QBuffer buffer;
    buffer.setData(bytes);
    if (!buffer.open(QIODevice::ReadOnly))
        return {};
    QImageReader reader(&buffer);
    const QSize size = reader.size();
    if (size.isValid()) {
        if (qint64(size.width()) * size.height() > ArtworkResolver::maxImagePixels)
            return {};
        if (size.width() > ArtworkResolver::maxImageSide
            || size.height() > ArtworkResolver::maxImageSide)
            reader.setScaledSize(size.scaled(ArtworkResolver::maxImageSide,
                                             ArtworkResolver::maxImageSide, Qt::KeepAspectRatio));
    }
    QImage image;
    if (!reader.read(&image))
        return {};
    return image;
}

// A regular file no larger than the cap; never a directory, device or pipe, which could block
// or never end.
QImage readImageFile(const QString &path)
{
    const QFileInfo info(path);
    if (!info.exists() || !info.isFile() || info.size() > ArtworkResolver::maxImageBytes)
        return {};
    QFile file(info.canonicalFilePath());
    if (!file.open(QIODevice::ReadOnly | QIODevice::Unbuffered) || file.isSequential())
        return {};
    const QByteArray bytes = file.read(ArtworkResolver::maxImageBytes + 1);
    if (bytes.size() > ArtworkResolver::maxImageBytes)
        return {};
    return decodeImage(bytes);
}

// The payload of a data: URL ("data:[<type>][;base64],<data>"), or none when malformed or over
// the cap.
std::optional<QByteArray> dataURLPayload(const QUrl &url)
{
    const QByteArray text = url.toEncoded(QUrl::RemoveScheme | QUrl::RemoveFragment);
    // Base64 grows the payload by a third; refuse what cannot fit before decoding it.
    if (text.size() > ArtworkResolver::maxImageBytes / 3 * 4 + 1024)
        return std::nullopt;
    const qsizetype comma = text.indexOf(',');
    if (comma < 0)
        return std::nullopt;
    const QByteArray header = QByteArray::fromPercentEncoding(text.left(comma)).trimmed();
    QByteArray payload = QByteArray::fromPercentEncoding(text.mid(comma + 1));
    if (header.toLower().endsWith(";base64")) {
        const auto decoded = QByteArray::fromBase64Encoding(
            payload, QByteArray::Base64Encoding | QByteArray::AbortOnBase64DecodingErrors);
        if (!decoded)
            return std::nullopt;
        payload = *decoded;
    }
    if (payload.size() > ArtworkResolver::maxImageBytes)
        return std::nullopt;
    return payload;
}

// Runs the work on the global thread pool, so that file reads and image decoding never hold up
// the event loop.
template<typename Work> QFuture<QImage> inBackground(Work work)
{
    auto promise = std::make_shared<QPromise<QImage>>();
    QFuture<QImage> future = promise->future();
    promise->start();
    QThreadPool::globalInstance()->start([promise, work] {
        promise->addResult(work());
        promise->finish();
    });
    return future;
}

QCoro::Task<std::optional<QImage>> decodeInBackground(QByteArray bytes)
{
    // Named rather than temporary: GCC 12 mishandles temporaries that live across a co_await.
    QFuture<QImage> decoding = inBackground([bytes] { return decodeImage(bytes); });
    const QImage image = co_await decoding;
    if (image.isNull())
        co_return std::nullopt;
    co_return image;
}

std::optional<QUrl> parsedURL(const QString &text)
{
    const QUrl url(text, QUrl::StrictMode);
    if (text.isEmpty() || !url.isValid())
        return std::nullopt;
    return url;
}
} // namespace

ArtworkResolver::ArtworkResolver(DesktopPlayers &players, QNetworkAccessManager &network)
    : m_players(players), m_network(network)
{
}

QCoro::Task<std::optional<QImage>>
ArtworkResolver::fetchArtwork(QString title, QString artist, QString album, QString sourceId,
                              std::optional<QString> webArtworkURL)
{
    const std::weak_ptr<const int> alive = m_alive;
    std::optional<QImage> image;
    if (sourceId == kSpotifyID) {
        const std::optional<QString> text = co_await m_players.spotifyArtworkURL();
        if (alive.expired())
            co_return std::nullopt;
        if (const auto url = text ? parsedURL(*text) : std::nullopt)
            image = co_await loadImageFrom(*url, Origin::LocalPlayer);
    } else {
        const std::optional<Source> app = Source::fromRawValue(sourceId);
        const bool isWebSource = app && !app->isDesktopSource();
        if (const auto url
            = isWebSource && webArtworkURL ? parsedURL(*webArtworkURL) : std::nullopt)
            image = co_await loadImageFrom(*url, Origin::WebPage);
    }
    if (alive.expired())
        co_return std::nullopt;
    if (!image) {
        qCDebug(lcArtwork) << "No artwork from" << sourceId << "- searching iTunes";
        image = co_await fetchFromiTunesStore(title, artist, album);
    }
    co_return image;
}

QCoro::Task<std::optional<QImage>>
ArtworkResolver::fetchFromiTunesStore(QString title, QString artist, QString album)
{
    // A track without title or artist would find any song at all.
    const QString words = artist + u' ' + title;
    if (words.trimmed().isEmpty())
        co_return std::nullopt;
    // Every reserved character is encoded: an "&" or "+" in a name must stay in the term.
    const QByteArray term = QUrl::toPercentEncoding(words);
    QUrl url = Endpoints::itunes();
    url.setPath(u"/search"_s);
    url.setQuery(u"term="_s + QString::fromLatin1(term) + u"&media=music&entity=song&limit=15"_s,
                 QUrl::StrictMode);
    if (!url.isValid())
        co_return std::nullopt;

    // The status is not looked at: whatever body parses as a search answer is used.
    const std::weak_ptr<const int> alive = m_alive;
    const std::optional<QByteArray> body = co_await download(url, maxSearchBytes);
    if (!body || alive.expired())
        co_return std::nullopt;
    const std::optional<QUrl> artworkURL = artworkInSearchReply(*body, album);
    if (!artworkURL)
        co_return std::nullopt;
    const std::optional<QImage> image = co_await loadImageFrom(*artworkURL, Origin::OnlineService);
    co_return image;
}

std::optional<QUrl> ArtworkResolver::artworkInSearchReply(const QByteArray &body,
                                                        const QString &album)
{
    const QJsonDocument document = QJsonDocument::fromJson(body);
    const QJsonValue resultsValue = document.object().value(u"results"_s);
    if (!document.isObject() || !resultsValue.isArray())
        return std::nullopt;
    const QJsonArray results = resultsValue.toArray();
    for (const QJsonValue &result : results) {
        if (!result.isObject())
            return std::nullopt;
    }
    const qsizetype picked = pickResult(results, album);
    if (picked < 0)
        return std::nullopt;

    const QJsonValue artwork = results.at(picked).toObject().value(u"artworkUrl100"_s);
    if (!artwork.isString()) {
        qCDebug(lcArtwork) << "The iTunes result has no artwork";
        return std::nullopt;
    }
    // The service's 600-pixel rendition of the same cover.
    QString artworkText = artwork.toString();
    artworkText.replace(u"100x100bb"_s, u"600x600bb"_s);
    return parsedURL(artworkText);
}

QCoro::Task<std::optional<QImage>> ArtworkResolver::loadImage(QUrl url)
{
    return loadImageFrom(std::move(url), Origin::LocalPlayer);
}

QCoro::Task<std::optional<QImage>> ArtworkResolver::loadImageFrom(QUrl url, Origin origin)
{
    const QString scheme = url.scheme().toLower();
    if (scheme == u"http"_s || scheme == u"https"_s) {
        const std::optional<QByteArray> bytes = co_await download(url, maxImageBytes);
        if (!bytes)
            co_return std::nullopt;
        const std::optional<QImage> image = co_await decodeInBackground(*bytes);
        co_return image;
    }
    if (scheme == u"data"_s && origin != Origin::OnlineService) {
        const std::optional<QByteArray> bytes = dataURLPayload(url);
        if (!bytes)
            co_return std::nullopt;
        const std::optional<QImage> image = co_await decodeInBackground(*bytes);
        co_return image;
    }
    const QString host = url.host();
    if (scheme == u"file"_s && origin == Origin::LocalPlayer
        && (host.isEmpty() || host == u"localhost"_s)) {
        const QString path = url.toLocalFile();
        QFuture<QImage> reading = inBackground([path] { return readImageFile(path); });
        const QImage image = co_await reading;
        if (image.isNull())
            co_return std::nullopt;
        co_return image;
    }
    qCDebug(lcArtwork) << "Artwork URL refused:" << url.scheme();
    co_return std::nullopt;
}

QCoro::Task<std::optional<QByteArray>> ArtworkResolver::download(QUrl url, qint64 cap)
{
    const std::optional<Http::Reply> reply
        = co_await Http::get(m_network, QNetworkRequest(url), cap, m_timeout);
    if (!reply) {
        qCDebug(lcArtwork) << "Download failed:" << url.toDisplayString();
        co_return std::nullopt;
    }
    co_return QByteArray(reply->body);
}

QString ArtworkResolver::albumKey(const QString &album)
{
    const QString decomposed = album.toLower().normalized(QString::NormalizationForm_D);
    QString folded;
    folded.reserve(decomposed.size());
    for (const QChar c : decomposed) {
        if (c.category() != QChar::Mark_NonSpacing)
            folded.append(c);
    }
    return folded.normalized(QString::NormalizationForm_C);
}

qsizetype ArtworkResolver::pickResult(const QJsonArray &results, const QString &album)
{
    if (results.isEmpty())
        return -1;
    const QString key = albumKey(album);
    if (key.isEmpty())
        return 0;
    for (qsizetype i = 0; i < results.size(); ++i) {
        const QJsonValue collection = results.at(i).toObject().value(u"collectionName"_s);
        if (!collection.isString())
            continue;
        const QString candidate = albumKey(collection.toString());
        // An empty collection name is in every album name; it matches nothing.
        if (candidate.isEmpty())
            continue;
        if (candidate.contains(key) || key.contains(candidate))
            return i;
    }
    return 0;
}
