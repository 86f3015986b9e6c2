#include "FakeClock.h"
#include "FakeSpotify.h"
#include "LogCapture.h"
#include "MemorySecretBackend.h"

#include "controllers/SpotifyController.h"
#include "core/DefaultsKeys.h"
#include "core/UserDefaults.h"
#include "services/KeychainStore.h"
#include "services/SpotifyAuthService.h"

#include <QFile>
#include <QNetworkAccessManager>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;
using Response = FakeHttpServer::Response;

namespace {
const QString kTrack = u"4uLU6hMCjMI75M1A2tKUQC"_s;
const QString kURI = u"spotify:track:4uLU6hMCjMI75M1A2tKUQC"_s;
} // namespace

class TestSpotifyController : public QObject
{
    Q_OBJECT

private:
    void connectAccount()
    {
        const auto [access, refresh] = m_fake->issueTokens();
        m_secrets.items.insert(KeychainStore::Account::spotifyAccessToken, access);
        m_secrets.items.insert(KeychainStore::Account::spotifyRefreshToken, refresh);
        m_defaults->setValue(DefaultsKeys::spotifyCustomClientID, m_fake->clientID);
        makeService();
    }

    void makeService()
    {
        m_auth = std::make_unique<SpotifyAuthService>(*m_defaults, *m_network, m_clock,
                                                      [](const QUrl &) { return true; });
        m_controller = std::make_unique<SpotifyController>(*m_auth);
    }

    QTemporaryDir m_dir;
    std::unique_ptr<UserDefaults> m_defaults;
    std::unique_ptr<QNetworkAccessManager> m_network;
    std::unique_ptr<FakeSpotify> m_fake;
    std::unique_ptr<SpotifyAuthService> m_auth;
    std::unique_ptr<SpotifyController> m_controller;
    SecretItems m_secrets;
    FakeClock m_clock;

private Q_SLOTS:
    void init()
    {
        m_fake = std::make_unique<FakeSpotify>();
        qputenv("VESPER_SPOTIFY_ACCOUNTS_URL", m_fake->accounts().url().toEncoded());
        qputenv("VESPER_SPOTIFY_API_URL", m_fake->api().url().toEncoded());
        m_defaults = std::make_unique<UserDefaults>(m_dir.filePath(u"defaults.json"_s));
        m_network = std::make_unique<QNetworkAccessManager>();
        m_secrets = {};
        KeychainStore::setBackend(std::make_unique<MemorySecretBackend>(m_secrets));
    }

    void cleanup()
    {
        m_controller.reset();
        m_auth.reset();
        m_defaults.reset();
        QFile::remove(m_dir.filePath(u"defaults.json"_s));
    }

    void likeAndUnlikeThroughTheLibrary()
    {
        LogCapture log;
        connectAccount();
        QVERIFY(!QCoro::waitFor(m_controller->isLiked(kTrack)));
        QVERIFY(QCoro::waitFor(m_controller->like(kTrack)));
        QVERIFY(m_fake->liked.contains(kURI));
        QVERIFY(QCoro::waitFor(m_controller->isLiked(kTrack)));
        QVERIFY(QCoro::waitFor(m_controller->unlike(kTrack)));
        QVERIFY(m_fake->liked.isEmpty());
        QVERIFY(!QCoro::waitFor(m_controller->isLiked(kTrack)));

        const auto requests = m_fake->api().requests();
        QCOMPARE(requests.size(), 5);
        QCOMPARE(requests.at(1).method, QByteArray("PUT"));
        QCOMPARE(requests.at(1).path, u"/v1/me/library"_s);
        QCOMPARE(requests.at(1).rawQuery, QByteArray("uris=") + kURI.toLatin1());
        QVERIFY(requests.at(1).body.isEmpty());
        QCOMPARE(requests.at(3).method, QByteArray("DELETE"));
        QVERIFY2(m_fake->refusals.isEmpty(), qPrintable(m_fake->refusals.join(u"; "_s)));
        QVERIFY(log.contains(u"Vesper: Spotify PUT /me/library?uris="_s + kURI + u" → HTTP 200"_s));
        QVERIFY(log.contains(u"Vesper: Spotify GET /me/library/contains?uris="_s + kURI
                             + u" → HTTP 200"_s));
    }

    void refusedTrackIDsSendNothing_data()
    {
        QTest::addColumn<QString>("trackID");
        QTest::newRow("empty") << QString();
        QTest::newRow("short") << u"215"_s; // the last piece of a local file's URI
        QTest::newRow("query smuggled") << u"4uLU6hMCjM&uris=x:y:zz"_s;
        QTest::newRow("path smuggled") << u"../../me/player/pause?"_s;
        QTest::newRow("not ASCII") << u"4uLU6hMCjMI75M1A2tKUQé"_s;
    }

    void refusedTrackIDsSendNothing()
    {
        QFETCH(QString, trackID);
        LogCapture log;
        connectAccount();
        QVERIFY(!QCoro::waitFor(m_controller->like(trackID)));
        QVERIFY(!QCoro::waitFor(m_controller->unlike(trackID)));
        QVERIFY(!QCoro::waitFor(m_controller->isLiked(trackID)));
        QVERIFY(m_fake->api().requests().isEmpty());
        QVERIFY(
            log.contains(u"Vesper: Spotify PUT /me/library skipped — not a Spotify track ID"_s));
        QVERIFY(log.contains(
            u"Vesper: Spotify GET /me/library/contains skipped — not a Spotify track ID"_s));
    }

    void likedAnswerShapes_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<bool>("liked");
        QTest::newRow("true") << QByteArray("[true]") << true;
        QTest::newRow("first of several") << QByteArray("[true,false]") << true;
        QTest::newRow("first false of several") << QByteArray(" [false, true] ") << false;
        QTest::newRow("empty array") << QByteArray("[]") << false;
        QTest::newRow("string") << QByteArray(R"(["true"])") << false;
        QTest::newRow("mixed") << QByteArray(R"([true,"x"])") << false;
        QTest::newRow("error object")
            << QByteArray(R"({"error":{"status":403,"message":"Forbidden"}})") << false;
        QTest::newRow("not JSON") << QByteArray("<html>true</html>") << false;
    }

    void likedAnswerShapes()
    {
        QFETCH(QByteArray, body);
        QFETCH(bool, liked);
        QCOMPARE(SpotifyController::firstLiked(body), liked);
    }

    void failuresReadAsNotLiked()
    {
        LogCapture log;
        makeService(); // no account
        QVERIFY(!QCoro::waitFor(m_controller->isLiked(kTrack)));
        QVERIFY(log.contains(u"Vesper: Spotify request GET /me/library/contains?uris="_s + kURI
                             + u" skipped — no access token"_s));
        QVERIFY(!QCoro::waitFor(m_controller->like(kTrack)));

        connectAccount();
        m_fake->liked.insert(kURI);
        m_fake->queuedApiReplies = {
            Response::withStatus(500, R"([true])"),
            Response::withStatus(403, R"({"error":{"status":403,"message":"Forbidden"}})"),
        };
        QVERIFY(!QCoro::waitFor(m_controller->unlike(kTrack)));
        QVERIFY(!QCoro::waitFor(m_controller->like(kTrack)));
        QVERIFY(m_fake->liked.contains(kURI));
    }
};

QTEST_GUILESS_MAIN(TestSpotifyController)
#include "test_spotifycontroller.moc"
