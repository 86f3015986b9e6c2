#include "FakeDesktopPlayers.h"
#include "FakeHttpServer.h"
#include "ServiceFixture.h"
#include "nowplaying/ArtworkResolver.h"

#include <QBuffer>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QTest>

#include <sys/stat.h>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;
using Image = std::optional<QImage>;
using Response = FakeHttpServer::Response;

namespace {
const QString kSpotify = u"com.spotify.client"_s;

QByteArray png(const QColor &color)
{
    QImage image(32, 32, QImage::Format_RGB32);
    image.fill(color);
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return bytes;
}

QColor colorOf(const Image &image) { return image ? image->pixelColor(0, 0) : QColor(); }
} // namespace

class TestArtwork : public QObject
{
    Q_OBJECT

    std::unique_ptr<ServiceFixture> m_fixture;
    std::unique_ptr<FakeHttpServer> m_server;
    FakeDesktopPlayers m_players;
    std::unique_ptr<ArtworkResolver> m_resolver;
    QTemporaryDir m_dir;

    QString serverURL(const QString &path) const { return m_server->url(path).toString(); }
    QString localFile(const QColor &color)
    {
        QFile file(m_dir.filePath(u"cover.png"_s));
        file.open(QIODevice::WriteOnly);
        file.write(png(color));
        return QUrl::fromLocalFile(file.fileName()).toString();
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
        m_fixture = std::make_unique<ServiceFixture>();
        m_server = std::make_unique<FakeHttpServer>();
        m_fixture->setEndpoint("VESPER_ITUNES_URL", m_server->url());
        m_players.artworkURL.reset();
        m_resolver = std::make_unique<ArtworkResolver>(m_players, m_fixture->network());
        m_resolver->setTransferTimeout(5s);
        // A search that finds one green cover. The status is not checked: an error page with a
        // usable body still gives the cover.
        Response green = Response::withStatus(500,
                                              R"({"results":[{"collectionName":"Album",
            "artworkUrl100":")" + serverURL(u"/g/100x100bb.png"_s).toUtf8()
                                                  + R"("}]})");
        m_server->route("GET", u"/search"_s, green);
        m_server->route("GET", u"/g/600x600bb.png"_s, Response::ok(png(Qt::green)));
    }
    void cleanup()
    {
        m_resolver.reset();
        m_fixture.reset();
        m_server.reset();
    }

    void sourceArtworkComesFirst_data()
    {
        // "/own.png" is a red cover on the server, FILE a yellow local one; the search finds green.
        QTest::addColumn<QString>("sourceId");
        QTest::addColumn<QString>("playerURL");
        QTest::addColumn<QString>("webURL");
        QTest::addColumn<QColor>("expected");

        const QString web = u"com.vesper.web.ytmusic"_s;
        const QColor red(Qt::red), green(Qt::green);
        QTest::newRow("the player's own") << kSpotify << u"/own.png"_s << QString() << red;
        QTest::newRow("a local player may name a local file")
            << kSpotify << u"FILE"_s << QString() << QColor(Qt::yellow);
        QTest::newRow("the page's own") << web << QString() << u"/own.png"_s << red;
        QTest::newRow("player URL serves a web page")
            << kSpotify << u"/page"_s << QString() << green;
        QTest::newRow("unknown source ignores the page's URL")
            << QString() << QString() << u"/own.png"_s << green;
        // A page may report any URL as its artwork; it must not make Vesper read local files.
        QTest::newRow("page names a local file") << web << QString() << u"FILE"_s << green;
    }

    void sourceArtworkComesFirst()
    {
        QFETCH(QString, sourceId);
        QFETCH(QString, playerURL);
        QFETCH(QString, webURL);
        QFETCH(QColor, expected);
        m_server->route("GET", u"/own.png"_s, Response::ok(png(Qt::red)));
        m_server->route("GET", u"/page"_s, Response::ok("<html></html>", "text/html"));
        const auto placed = [this](const QString &text) -> std::optional<QString> {
            if (text.isEmpty())
                return std::nullopt;
            return text == u"FILE"_s ? localFile(Qt::yellow) : serverURL(text);
        };
        m_players.artworkURL = placed(playerURL);

        QCOMPARE(colorOf(fetch(sourceId, placed(webURL))), expected);
        const QList<FakeHttpServer::Request> searches = m_server->requests(u"/search"_s);
        QCOMPARE(searches.size(), expected == QColor(Qt::green) ? 1 : 0);
        // The "&" belongs to the term and must not split the query.
        if (!searches.isEmpty())
            QCOMPARE(searches.first().rawQuery,
                     "term=Simon%20%26%20Garfunkel%20The%20Boxer&media=music&entity=song&limit=15");
    }

    void lookupOutlivingItsResolverEndsQuietly()
    {
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
        // A track without title or artist would find any song at all: it searches nothing.
        QVERIFY(!QCoro::waitFor(m_resolver->fetchFromiTunesStore(u" "_s, {}, u"Album"_s)));
        QCOMPARE(m_server->requests().size(), 1);
    }

    void downloadsAndFilesAreCheckedCappedAndBounded()
    {
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
        QVERIFY(!load(m_server->url(u"/endless"_s)));
        QVERIFY2(timer.elapsed() < 2000, QByteArray::number(timer.elapsed()));
        QTRY_COMPARE(m_server->abortedByClient(), 1);

        m_resolver->setTransferTimeout(400ms);
        timer.restart();
        QVERIFY(!load(m_server->url(u"/trickle.png"_s)));
        QVERIFY2(timer.elapsed() < 3000, QByteArray::number(timer.elapsed()));

        QCOMPARE(colorOf(load(QUrl(localFile(Qt::cyan)))), QColor(Qt::cyan));
        const QString fifo = m_dir.filePath(u"fifo"_s);
        QCOMPARE(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
        QVERIFY(!load(QUrl::fromLocalFile(fifo))); // opening it would block
        QFile big(m_dir.filePath(u"big.png"_s));
        QVERIFY(big.open(QIODevice::WriteOnly) && big.write(png(Qt::cyan)) > 0
                && big.resize(ArtworkResolver::maxImageBytes + 1));
        big.close();
        QVERIFY(!load(QUrl::fromLocalFile(big.fileName())));

        const QByteArray data = "data:image/png;base64," + png(Qt::yellow).toBase64();
        QCOMPARE(colorOf(load(QUrl(QString::fromLatin1(data)))), QColor(Qt::yellow));
    }
};

QTEST_GUILESS_MAIN(TestArtwork)
#include "test_artwork.moc"
