#include "FakeHttpServer.h"

#include "nowplaying/ArtworkResolver.h"
#include "platform/DesktopPlayers.h"

#include <QBuffer>
#include <QDir>
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
const QString kAppleMusic = u"com.apple.Music"_s;
const QString kYoutubeMusic = u"com.vesper.web.ytmusic"_s;

QByteArray encoded(const QImage &image, const char *format)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, format);
    return bytes;
}

QImage solid(const QColor &color, QSize size = { 32, 32 })
{
    QImage image(size, QImage::Format_RGB32);
    image.fill(color);
    return image;
}

QByteArray png(const QColor &color) { return encoded(solid(color), "PNG"); }

QColor colorOf(const Image &image) { return image ? image->pixelColor(0, 0) : QColor(); }

// The platform edge: what the two desktop players answer for their artwork.
class FakePlayers : public DesktopPlayers
{
public:
    std::optional<QString> spotifyURL;
    std::optional<QImage> appleImage;
    int artworkReads = 0;

    QCoro::Task<std::optional<QString>> spotifyArtworkURL() override
    {
        ++artworkReads;
        co_return std::optional<QString>(spotifyURL); // a copy: QCoro 0.8 moves lvalues
    }
    QCoro::Task<std::optional<QImage>> appleMusicArtwork() override
    {
        ++artworkReads;
        co_return std::optional<QImage>(appleImage);
    }

    QCoro::Task<DesktopTrack> spotifyState() override { co_return DesktopTrack(); }
    QCoro::Task<DesktopTrack> appleMusicState() override { co_return DesktopTrack(); }
    void playPause(const QString &) override { }
    void nextTrack(const QString &) override { }
    void previousTrack(const QString &) override { }
    void setPosition(const QString &, double) override { }
    void setShuffle(const QString &, bool) override { }
    void setRepeatMode(const QString &, int) override { }
    QCoro::Task<std::optional<QString>> spotifyTrackID() override { co_return std::nullopt; }
    QCoro::Task<bool> appleMusicIsLiked() override { co_return false; }
    void appleMusicSetLiked(bool) override { }
    PlayerAuthStatus requestAutomationPermission(const QString &, bool) override
    {
        return PlayerAuthStatus::Authorized;
    }
    QSet<QString> runningSourceIds() const override { return {}; }
};
} // namespace

class TestArtwork : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<FakeHttpServer> m_server;
    std::unique_ptr<QNetworkAccessManager> m_network;
    std::unique_ptr<FakePlayers> m_players;
    std::unique_ptr<ArtworkResolver> m_resolver;

    QString serverURL(const QString &path) const { return m_server->url(path).toString(); }

    // A search answer whose results have the given collection names and artwork paths.
    QByteArray searchAnswer(const QList<QPair<QString, QString>> &results) const
    {
        QJsonArray array;
        for (const auto &[collection, artPath] : results)
            array.append(QJsonObject { { u"collectionName"_s, collection },
                                       { u"artworkUrl100"_s, serverURL(artPath) } });
        return QJsonDocument(
                   QJsonObject { { u"resultCount"_s, array.size() }, { u"results"_s, array } })
            .toJson();
    }

    // A search that finds one green cover.
    void serveGreenSearch()
    {
        m_server->route("GET", u"/search"_s,
                        Response::ok(searchAnswer({ { u"Album"_s, u"/g/100x100bb.png"_s } })));
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
        m_players = std::make_unique<FakePlayers>();
        m_resolver = std::make_unique<ArtworkResolver>(*m_players, *m_network);
        m_resolver->setTransferTimeout(5s);
    }

    void cleanup()
    {
        m_resolver.reset();
        m_players.reset();
        m_network.reset();
        m_server.reset();
    }

    void sourceArtworkComesFirst()
    {
        serveGreenSearch();
        m_server->route("GET", u"/own.png"_s, Response::ok(png(Qt::red)));

        m_players->spotifyURL = serverURL(u"/own.png"_s);
        QCOMPARE(colorOf(fetch(kSpotify)), QColor(Qt::red));
        // A local player may name a local file.
        QTemporaryDir dir;
        m_players->spotifyURL = QUrl::fromLocalFile(dir.filePath(u"cover.png"_s)).toString();
        QVERIFY(solid(Qt::yellow).save(dir.filePath(u"cover.png"_s)));
        QCOMPARE(colorOf(fetch(kSpotify)), QColor(Qt::yellow));

        m_players->appleImage = solid(Qt::blue);
        QCOMPARE(colorOf(fetch(kAppleMusic)), QColor(Qt::blue));

        QCOMPARE(colorOf(fetch(kYoutubeMusic, serverURL(u"/own.png"_s))), QColor(Qt::red));
        QCOMPARE(
            colorOf(fetch(u"com.vesper.web.generic.radio.example"_s, serverURL(u"/own.png"_s))),
            QColor(Qt::red));

        QCOMPARE(m_server->requests(u"/search"_s).size(), 0);
        QCOMPARE(m_players->artworkReads, 3);
    }

    void missingSourceArtworkFallsBackToSearch_data()
    {
        QTest::addColumn<QString>("sourceId");
        QTest::addColumn<std::optional<QString>>("spotifyURL");
        QTest::addColumn<std::optional<QImage>>("appleImage");
        QTest::addColumn<std::optional<QString>>("webURL");

        const std::optional<QString> noText;
        const std::optional<QImage> noImage;
        const QString own = u"/own.png"_s; // made a full URL in the test
        QTest::newRow("spotify without URL") << kSpotify << noText << noImage << noText;
        QTest::newRow("spotify URL serves a web page")
            << kSpotify << std::optional(u"/page"_s) << noImage << noText;
        QTest::newRow("apple music without artwork") << kAppleMusic << noText << noImage << noText;
        QTest::newRow("apple music empty picture")
            << kAppleMusic << noText << std::optional(QImage()) << noText;
        QTest::newRow("web source, empty URL")
            << kYoutubeMusic << noText << noImage << std::optional(QString());
        QTest::newRow("unknown source ignores web URL")
            << QString() << noText << noImage << std::optional(own);
        // A page may report any URL as its artwork; it must not make Vesper read local files.
        QTest::newRow("web source names a local file")
            << kYoutubeMusic << noText << noImage << std::optional(u"FILE"_s);
    }

    void missingSourceArtworkFallsBackToSearch()
    {
        QFETCH(QString, sourceId);
        QFETCH(std::optional<QString>, spotifyURL);
        QFETCH(std::optional<QImage>, appleImage);
        QFETCH(std::optional<QString>, webURL);
        serveGreenSearch();
        m_server->route("GET", u"/own.png"_s, Response::ok(png(Qt::red)));
        m_server->route("GET", u"/page"_s, Response::ok("<html></html>", "text/html"));
        QTemporaryDir dir;
        const QString file = dir.filePath(u"cover.png"_s);
        QVERIFY(solid(Qt::red).save(file));
        const auto onServer = [&](std::optional<QString> text) {
            if (text == u"FILE"_s)
                return std::optional(QUrl::fromLocalFile(file).toString());
            return text && text->startsWith(u'/') ? std::optional(serverURL(*text)) : text;
        };
        m_players->spotifyURL = onServer(spotifyURL);
        m_players->appleImage = appleImage;

        QCOMPARE(colorOf(fetch(sourceId, onServer(webURL))), QColor(Qt::green));
        QCOMPARE(m_server->requests(u"/search"_s).size(), 1);
        QCOMPARE(m_server->requests(u"/own.png"_s).size(), 0);
    }

    void resultIsPickedByFoldedAlbum()
    {
        QCOMPARE(ArtworkResolver::albumKey(u"CAFÉ Tacvba"_s), u"cafe tacvba"_s);
        QCOMPARE(ArtworkResolver::albumKey(u"Ǻngström"_s), u"angstrom"_s);
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

    void searchRequestsTheMatchingLargeCover()
    {
        // The status is not checked: an error page with a usable body still gives the cover.
        Response answer
            = Response::ok(searchAnswer({ { u"Other"_s, u"/a/100x100bb.png"_s },
                                          { u"café tacvba (deluxe)"_s, u"/b/100x100bb.png"_s } }));
        answer.status = 500;
        m_server->route("GET", u"/search"_s, answer);
        m_server->route("GET", u"/b/600x600bb.png"_s, Response::ok(png(Qt::magenta)));

        const Image image = QCoro::waitFor(m_resolver->fetchFromiTunesStore(
            u"The Boxer"_s, u"Simon & Garfunkel"_s, u"CAFÉ TACVBA"_s));
        QCOMPARE(colorOf(image), QColor(Qt::magenta));

        // The "&" belongs to the term and must not split the query.
        QCOMPARE(m_server->requests(u"/search"_s).value(0).rawQuery,
                 "term=Simon%20%26%20Garfunkel%20The%20Boxer&media=music&entity=song&limit=15");
        QCOMPARE(m_server->requests().last().path, u"/b/600x600bb.png"_s);

        // Nothing to search for: no request.
        QVERIFY(!QCoro::waitFor(m_resolver->fetchFromiTunesStore(u" "_s, QString(), QString())));
        QCOMPARE(m_server->requests(u"/search"_s).size(), 1);
    }

    void unusableSearchAnswersGiveNothing_data()
    {
        // ART stands for an image on the server, FILE for a local one.
        QTest::addColumn<QByteArray>("body");

        QTest::newRow("not JSON") << QByteArray("<html>busy</html>");
        QTest::newRow("not an object") << QByteArray("[{\"artworkUrl100\":\"x\"}]");
        QTest::newRow("results not an array") << QByteArray("{\"results\":{}}");
        QTest::newRow("results empty") << QByteArray("{\"results\":[]}");
        QTest::newRow("a result not an object")
            << QByteArray("{\"results\":[{\"artworkUrl100\":\"ART\"},1]}");
        QTest::newRow("no artwork") << QByteArray("{\"results\":[{\"collectionName\":\"Album\"}]}");
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
        QTemporaryDir dir;
        const QString path = dir.filePath(u"cover.png"_s);
        QVERIFY(solid(Qt::red).save(path));
        body.replace("ART", serverURL(u"/art.png"_s).toUtf8());
        body.replace("FILE", QUrl::fromLocalFile(path).toEncoded());
        m_server->route("GET", u"/search"_s, Response::ok(body));
        m_server->route("GET", u"/art.png"_s, Response::ok(png(Qt::red)));

        QVERIFY(!QCoro::waitFor(m_resolver->fetchFromiTunesStore(u"T"_s, u"A"_s, u"Album"_s)));
        QCOMPARE(m_server->requests().size(), 1);
    }

    void imageBodiesAreCheckedAndCapped()
    {
        const QByteArray jpeg = encoded(solid(Qt::white, { 400, 400 }), "JPEG");
        Response cut = Response::ok(jpeg, "image/jpeg");
        cut.hangUpAfter = jpeg.size() / 2;
        m_server->route("GET", u"/cut.jpg"_s, cut);
        m_server->route("GET", u"/text"_s, Response::ok("just text", "image/png"));
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

        QCOMPARE(colorOf(load(m_server->url(u"/ok.png"_s))), QColor(Qt::red));
        QVERIFY(!load(m_server->url(u"/cut.jpg"_s)));
        QVERIFY(!load(m_server->url(u"/text"_s)));
        // Refused at the cap, not left to run into the transfer timeout.
        QElapsedTimer timer;
        timer.start();
        QVERIFY(!load(m_server->url(u"/announced"_s)));
        QVERIFY(!load(m_server->url(u"/endless"_s)));
        QVERIFY2(timer.elapsed() < 2000, QByteArray::number(timer.elapsed()));

        // The client hung up long before the bodies were through.
        const QList<qint64> sent = m_server->bodyBytesSent();
        QCOMPARE(sent.size(), 5);
        QVERIFY2(sent.at(3) < 64 * 1024 * 1024, QByteArray::number(sent.at(3)));
        QVERIFY2(sent.at(4) < 64 * 1024 * 1024, QByteArray::number(sent.at(4)));
        QTRY_COMPARE(m_server->abortedByClient(), 2);
    }

    void slowServersTimeOut()
    {
        m_resolver->setTransferTimeout(400ms);
        Response late = Response::ok(png(Qt::red));
        late.delay = 5s;
        m_server->route("GET", u"/late.png"_s, late);
        // Bytes keep coming, so only a bound on the whole transfer ends it.
        Response trickle = Response::ok(png(Qt::red));
        trickle.chunkInterval = 50ms;
        m_server->route("GET", u"/trickle.png"_s, trickle);

        QElapsedTimer timer;
        timer.start();
        QVERIFY(!load(m_server->url(u"/late.png"_s)));
        QVERIFY(!load(m_server->url(u"/trickle.png"_s)));
        QVERIFY2(timer.elapsed() < 3000, QByteArray::number(timer.elapsed()));
    }

    void localFilesAndDataURLs()
    {
        QTemporaryDir dir;
        const QString cover = dir.filePath(u"cover.png"_s);
        QVERIFY(solid(Qt::cyan).save(cover));
        QCOMPARE(colorOf(load(QUrl::fromLocalFile(cover))), QColor(Qt::cyan));
        const QString wide = dir.filePath(u"wide.jpg"_s);
        QVERIFY(solid(Qt::white, { 5000, 1000 }).save(wide));
        QCOMPARE(load(QUrl::fromLocalFile(wide)).value_or(QImage()).width(),
                 ArtworkResolver::maxImageSide);

        const QString fifo = dir.filePath(u"fifo"_s);
        QCOMPARE(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
        QFile big(dir.filePath(u"big.png"_s));
        QVERIFY(big.open(QIODevice::WriteOnly));
        big.write(png(Qt::cyan));
        QVERIFY(big.resize(ArtworkResolver::maxImageBytes + 1));
        big.close();
        QVERIFY(!load(QUrl::fromLocalFile(fifo))); // opening it would block
        QVERIFY(!load(QUrl::fromLocalFile(big.fileName())));

        const QByteArray bytes = png(Qt::yellow);
        QCOMPARE(colorOf(load(
                     QUrl(u"data:image/png;base64,"_s + QString::fromLatin1(bytes.toBase64())))),
                 QColor(Qt::yellow));
        QCOMPARE(colorOf(load(
                     QUrl(u"data:image/png,"_s + QString::fromLatin1(bytes.toPercentEncoding())))),
                 QColor(Qt::yellow));
        QVERIFY(!load(QUrl(u"data:image/png;base64,!!!not-base64"_s)));
        QVERIFY(!load(QUrl(u"data:text/plain,hello"_s)));
        QVERIFY(!load(QUrl(u"ftp://127.0.0.1/cover.png"_s)));
    }

    void spotifyImageHostIsRewritten()
    {
        QCOMPARE(ArtworkResolver::spotifyImageURL(QUrl(u"https://open.spotify.com/image/ab67"_s)),
                 QUrl(u"https://i.scdn.co/image/ab67"_s));
        const QUrl other(u"https://open.spotify.com/track/ab67"_s);
        QCOMPARE(ArtworkResolver::spotifyImageURL(other), other);
    }
};

QTEST_GUILESS_MAIN(TestArtwork)
#include "test_artwork.moc"
