#pragma once

#include <QByteArray>
#include <QImage>
#include <QJsonArray>
#include <QString>
#include <QUrl>

#include <qcoro/qcorotask.h>

#include <chrono>
#include <memory>
#include <optional>

class DesktopPlayers;
class QNetworkAccessManager;

// Finds the cover of a track: the source's own image first, then the iTunes Search API. A miss
// of any kind ends in no image and is never an error. Nothing is cached and nothing is
// cancelled; whether a found image still concerns the track shown is the caller's to decide.
// Lookups still running when the resolver goes end without an image.
class ArtworkResolver
{
public:
    // Bounds on what a lookup accepts, so that a hostile or broken answer cannot eat memory.
    static constexpr qint64 maxImageBytes = 8 * 1024 * 1024;
    static constexpr qint64 maxSearchBytes = 1024 * 1024;
    // Larger images are read scaled down to this size on their longer side.
    static constexpr int maxImageSide = 4096;
    // Images announcing more pixels than this are refused without decoding.
    static constexpr qint64 maxImagePixels = qint64(8192) * 8192;

    ArtworkResolver(DesktopPlayers &players, QNetworkAccessManager &network);

    // Every download must be complete within this time; 60 seconds unless set.
    void setTransferTimeout(std::chrono::milliseconds timeout) { m_timeout = timeout; }
    std::chrono::milliseconds transferTimeout() const { return m_timeout; }

    // The source's own image first, then the iTunes search; none when nothing is found.
    // webArtworkURL is the aggregator's last web artwork URL (none when unset).
    QCoro::Task<std::optional<QImage>> fetchArtwork(QString title, QString artist, QString album,
                                                    QString sourceId,
                                                    std::optional<QString> webArtworkURL);
    QCoro::Task<std::optional<QImage>> fetchFromiTunesStore(QString title, QString artist,
                                                            QString album);
    // http(s) download, file:// read, or data: decode; capped; none when not an image.
    QCoro::Task<std::optional<QImage>> loadImage(QUrl url);

    // The album name in lower case with its diacritics removed, as search results are matched.
    static QString albumKey(const QString &album);
    // The index of the search result whose collection matches the album (either name containing
    // the other), else of the first result; -1 for no results.
    static qsizetype pickResult(const QJsonArray &results, const QString &album);
    // The 600-pixel cover of the picked result of an iTunes search answer.
    static std::optional<QUrl> artworkInSearchReply(const QByteArray &body, const QString &album);

private:
    // Where a URL came from decides which schemes it may use: a player on this machine may name
    // local files, a web page or an online service may not.
    enum class Origin { LocalPlayer, WebPage, OnlineService };

    QCoro::Task<std::optional<QImage>> loadImageFrom(QUrl url, Origin origin);
    // The body of a GET, or none on a transport error, a timeout or a body over the cap.
    QCoro::Task<std::optional<QByteArray>> download(QUrl url, qint64 cap);

    DesktopPlayers &m_players;
    QNetworkAccessManager &m_network;
    std::chrono::milliseconds m_timeout { std::chrono::seconds(60) };
    // Lookups hold a weak reference and end quietly when the resolver is gone.
    std::shared_ptr<const int> m_alive = std::make_shared<const int>(0);
};
