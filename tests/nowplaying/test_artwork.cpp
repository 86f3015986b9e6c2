#include "FakeDesktopPlayers.h"
#include "FakeHttpServer.h"
#include "nowplaying/ArtworkResolver.h"

#include <QBuffer>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;
using Image = std::optional<QImage>;
using Response = FakeHttpServer::Response;

namespace {
const QString kSpotify = u"com.spotify.client"_s;
const QString kYoutubeMusic = u"com.vesper.web.ytmusic"_s;

QImage solid(const QColor &color)
{
    QImage image(32, 32, QImage::Format_RGB32);
    image.fill(color);
    return image;
}

QByteArray png(const QColor &color)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    solid(color).save(&buffer, "PNG");
    return bytes;
}

QColor colorOf(const Image &image) { return image ? image->pixelColor(0, 0) : QColor(); }
} // namespace

class TestArtwork : public QObject
{
    Q_OBJECT

    std::unique_ptr<FakeHttpServer> m_server;
    std::unique_ptr<QNetworkAccessManager> m_network;
    FakeDesktopPlayers m_players;
    std::unique_ptr<ArtworkResolver> m_resolver;
    QTemporaryDir m_dir;

    QString serverURL(const QString &path) const { return m_server->url(path).toString(); }
    // A local cover, as a player may name one.
    QString localFile(const QColor &color)
    {
        const QString path = m_dir.filePath(u"cover.png"_s);
        solid(color).save(path);
        return QUrl::fromLocalFile(path).toString();
    }

    // A search that finds one green cover. The status is not checked: an error page with a
    // usable body still gives the cover.
    void serveGreenSearch()
    {
        const QJsonObject result { { u"collectionName"_s, u"Album"_s },
                                   { u"artworkUrl100"_s, serverURL(u"/g/100x100bb.png"_s) } };
        Response answer = Response::ok(
            QJsonDocument(QJsonObject { { u"results"_s, QJsonArray { result } } }).toJson());
        answer.status = 500;
        m_server->route("GET", u"/search"_s, answer);
        m_server->route("GET", u"/g/600x600bb.png"_s, Response::ok(png(Qt::green)));
    }

    Image fetch(const QString &sourceId, std::optional<QString> webURL = std::nullopt)
    {
        return QCoro::waitFor(m_resolver->fetchArtwork(u"The Boxer"_s, u"Simon & Garfunkel"_s,
                                                       u"Album"_s, sourceId, webURL));
    }
    Image load(const QUrl &url) { return QCoro::waitFor(m_resolver->loadImage(url)); }

private Q_SLOTS:
    void init()
    {
        m_server = std::make_unique<FakeHttpServer>();
        qputenv("VESPER_ITUNES_URL", m_server->url().toEncoded());
        m_network = std::make_unique<QNetworkAccessManager>();
        m_network->setProxy(QNetworkProxy::NoProxy);
        m_players.artworkURL.reset();
        m_resolver = std::make_unique<ArtworkResolver>(m_players, *m_network);
        m_resolver->setTransferTimeout(5s);
    }
    void cleanup()
    {
        m_resolver.reset();
        m_network.reset();
        m_server.reset();
    }

    void sourceArtworkComesFirst_data()
    {
        // "/own.png" is a red cover on the server, FILE a yellow local one; the search finds green.
        QTest::addColumn<QString>("sourceId");
        QTest::addColumn<std::optional<QString>>("playerURL");
        QTest::addColumn<std::optional<QString>>("webURL");
        QTest::addColumn<QColor>("expected");

        const std::optional<QString> none;
        const std::optional<QString> own = u"/own.png"_s;
        const std::optional<QString> file = u"FILE"_s;
        const QColor red(Qt::red), green(Qt::green);
        QTest::newRow("the player's own") << kSpotify << own << none << red;
        QTest::newRow("a local player may name a local file")
            << kSpotify << file << none << QColor(Qt::yellow);
        QTest::newRow("the page's own") << kYoutubeMusic << none << own << red;
        QTest::newRow("player without a URL") << kSpotify << none << none << green;
        QTest::newRow("player URL serves a web page")
            << kSpotify << std::optional(u"/page"_s) << none << green;
        QTest::newRow("unknown source ignores the page's URL") << QString() << none << own << green;
        // A page may report any URL as its artwork; it must not make Vesper read local files.
        QTest::newRow("page names a local file") << kYoutubeMusic << none << file << green;
    }

    void sourceArtworkComesFirst()
    {
        QFETCH(QString, sourceId);
        QFETCH(std::optional<QString>, playerURL);
        QFETCH(std::optional<QString>, webURL);
        QFETCH(QColor, expected);
        serveGreenSearch();
        m_server->route("GET", u"/own.png"_s, Response::ok(png(Qt::red)));
        m_server->route("GET", u"/page"_s, Response::ok("<html></html>", "text/html"));
        const auto placed = [this](std::optional<QString> text) {
            if (text == u"FILE"_s)
                return std::optional(localFile(Qt::yellow));
            return text && text->startsWith(u'/') ? std::optional(serverURL(*text)) : text;
        };
        m_players.artworkURL = placed(playerURL);

        QCOMPARE(colorOf(fetch(sourceId, placed(webURL))), expected);
        const QList<FakeHttpServer::Request> searches = m_server->requests(u"/search"_s);
        QCOMPARE(searches.size(), expected == QColor(Qt::green) ? 1 : 0);
        // The "&" belongs to the term and must not split the query.
        if (!searches.isEmpty()) {
            QCOMPARE(searches.first().rawQuery,
                     "term=Simon%20%26%20Garfunkel%20The%20Boxer&media=music&entity=song&limit=15");
        }
    }

    void lookupOutlivingItsResolverEndsQuietly()
    {
        serveGreenSearch();
        Response late = Response::ok("<html></html>", "text/html");
        late.delay = 300ms;
        m_server->route("GET", u"/late"_s, late);
        m_players.artworkURL = serverURL(u"/late"_s);

        QCoro::Task<Image> lookup = m_resolver->fetchArtwork(u"T"_s, u"A"_s, {}, kSpotify, {});
        QTRY_COMPARE(m_server->requests(u"/late"_s).size(), 1);
        m_resolver.reset();
        QVERIFY(!QCoro::waitFor(lookup));
        QCOMPARE(m_server->requests(u"/search"_s).size(), 0);
    }

    void resultIsPickedByFoldedAlbum()
    {
        QCOMPARE(ArtworkResolver::albumKey(u"CAFÉ Tacvba"_s), u"cafe tacvba"_s);
        // Decomposing must not leave Hangul syllables in pieces.
        QCOMPARE(ArtworkResolver::albumKey(u"한국 Édition"_s), u"한국 edition"_s);

        // Results with these collection names; undefined: none at all.
        const auto pick = [](const QString &album, std::initializer_list<QJsonValue> names) {
            QJsonArray results;
            for (const QJsonValue &name : names)
                results.append(name.isUndefined() ? QJsonObject()
                                                  : QJsonObject { { u"collectionName"_s, name } });
            return ArtworkResolver::pickResult(results, album);
        };
        // Either name may hold the other, once folded.
        QCOMPARE(pick(u"Él Mismo Álbum"_s, { u"Hits"_s, u"el mismo album (deluxe edition)"_s }), 1);
        QCOMPARE(pick(u"Abbey Road (Remastered)"_s, { u"Help!"_s, u"abbey road"_s }), 1);
        // No album, or none that qualifies: the service's first.
        QCOMPARE(pick(QString(), { u"One"_s, u"Two"_s }), 0);
        QCOMPARE(pick(u"Blue"_s, { u"Red"_s, u"Green"_s }), 0);
        // An empty name would be in every album; it matches nothing.
        QCOMPARE(pick(u"Blue"_s,
                      { QJsonValue(QJsonValue::Undefined), QJsonValue(), 42, u""_s, u"Blue"_s }),
                 4);
        QCOMPARE(pick(u"Blue"_s, {}), -1);
    }

    void blankTrackSearchesNothing()
    {
        QVERIFY(!QCoro::waitFor(m_resolver->fetchFromiTunesStore(u" "_s, QString(), QString())));
        QVERIFY(m_server->requests().isEmpty());
    }

    void unusableSearchAnswersGiveNothing_data()
    {
        // ART stands for an image on the server, FILE for a local one.
        QTest::addColumn<QByteArray>("body");
        QTest::newRow("not JSON") << QByteArray("<html>busy</html>");
        QTest::newRow("results not an array") << QByteArray("{\"results\":{}}");
        QTest::newRow("a result not an object")
            << QByteArray("{\"results\":[{\"artworkUrl100\":\"ART\"},1]}");
        QTest::newRow("artwork not a string")
            << QByteArray("{\"results\":[{\"artworkUrl100\":7}]}");
        QTest::newRow("artwork on a local file")
            << QByteArray("{\"results\":[{\"artworkUrl100\":\"FILE\"}]}");
        // A valid answer padded past the cap.
        QTest::newRow("over the cap")
            << QByteArray("{\"results\":[{\"artworkUrl100\":\"ART\"}]}")
                   .append(QByteArray(ArtworkResolver::maxSearchBytes, ' '));
    }

    void unusableSearchAnswersGiveNothing()
    {
        QFETCH(QByteArray, body);
        body.replace("ART", serverURL(u"/art.png"_s).toUtf8());
        body.replace("FILE", localFile(Qt::red).toUtf8());
        m_server->route("GET", u"/search"_s, Response::ok(body));
        m_server->route("GET", u"/art.png"_s, Response::ok(png(Qt::red)));

        QVERIFY(!QCoro::waitFor(m_resolver->fetchFromiTunesStore(u"T"_s, u"A"_s, u"Album"_s)));
        QCOMPARE(m_server->requests().size(), 1);
    }

    void downloadsAreCheckedCappedAndBounded()
    {
        Response announced;
        announced.fillerSize = 256 * 1024 * 1024;
        m_server->route("GET", u"/announced"_s, announced);
        Response endless;
        endless.fillerSize = -1;
        m_server->route("GET", u"/endless"_s, endless);
        // Readers stop at the end of the image, so padding makes a valid body of any size.
        QByteArray atCap = png(Qt::red);
        atCap.append(QByteArray(ArtworkResolver::maxImageBytes - atCap.size(), '\0'));
        m_server->route("GET", u"/ok.png"_s, Response::ok(atCap));
        // Bytes keep coming, so only a bound on the whole transfer ends it.
        Response trickle = Response::ok(png(Qt::red));
        trickle.chunkInterval = 50ms;
        m_server->route("GET", u"/trickle.png"_s, trickle);

        QCOMPARE(colorOf(load(m_server->url(u"/ok.png"_s))), QColor(Qt::red));
        // Refused at the cap, not left to run into the transfer timeout.
        QElapsedTimer timer;
        timer.start();
        QVERIFY(!load(m_server->url(u"/announced"_s)));
        QVERIFY(!load(m_server->url(u"/endless"_s)));
        QVERIFY2(timer.elapsed() < 2000, QByteArray::number(timer.elapsed()));
        QTRY_COMPARE(m_server->abortedByClient(), 2);

        m_resolver->setTransferTimeout(400ms);
        timer.restart();
        QVERIFY(!load(m_server->url(u"/trickle.png"_s)));
        QVERIFY2(timer.elapsed() < 3000, QByteArray::number(timer.elapsed()));
    }

    void localFilesAndDataURLs()
    {
        QCOMPARE(colorOf(load(QUrl(localFile(Qt::cyan)))), QColor(Qt::cyan));

        const QString fifo = m_dir.filePath(u"fifo"_s);
        QCOMPARE(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
        QVERIFY(!load(QUrl::fromLocalFile(fifo))); // opening it would block
        QFile big(m_dir.filePath(u"big.png"_s));
        QVERIFY(big.open(QIODevice::WriteOnly));
        big.write(png(Qt::cyan));
        QVERIFY(big.resize(ArtworkResolver::maxImageBytes + 1));
        big.close();
        QVERIFY(!load(QUrl::fromLocalFile(big.fileName())));

        const QByteArray bytes = png(Qt::yellow);
        QCOMPARE(colorOf(load(
                     QUrl(u"data:image/png;base64,"_s + QString::fromLatin1(bytes.toBase64())))),
                 QColor(Qt::yellow));
        QVERIFY(!load(QUrl(u"data:image/png;base64,!!!not-base64"_s)));
    }
};

QTEST_GUILESS_MAIN(TestArtwork)
#include "test_artwork.moc"
