#include "FakeClock.h"
#include "FakeSpotify.h"
#include "LogCapture.h"
#include "MemorySecretBackend.h"

#include "core/SettingsKeys.h"
#include "core/SettingsStore.h"
#include "settings/SecretStore.h"
#include "spotify/SpotifyAuthService.h"
#include "spotify/SpotifyLibrary.h"

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

    QTemporaryDir m_dir;
    std::unique_ptr<SettingsStore> m_defaults;
    std::unique_ptr<QNetworkAccessManager> m_network;
    std::unique_ptr<FakeSpotify> m_fake;
    std::unique_ptr<SpotifyAuthService> m_auth;
    std::unique_ptr<SpotifyLibrary> m_controller;
    SecretItems m_secrets;
    FakeClock m_clock;

    void makeService(bool connected = true)
    {
        if (connected) {
            const auto [access, refresh] = m_fake->issueTokens();
            m_secrets.items.insert(SecretStore::Account::spotifyAccessToken, access);
            m_secrets.items.insert(SecretStore::Account::spotifyRefreshToken, refresh);
            m_defaults->setValue(SettingsKeys::spotifyCustomClientID, m_fake->clientID);
        }
        m_auth = std::make_unique<SpotifyAuthService>(*m_defaults, *m_network, m_clock,
                                                      [](const QUrl &) { return true; });
        m_controller = std::make_unique<SpotifyLibrary>(*m_auth);
    }

private Q_SLOTS:
    void init()
    {
        m_fake = std::make_unique<FakeSpotify>();
        qputenv("VESPER_SPOTIFY_ACCOUNTS_URL", m_fake->accounts().url().toEncoded());
        qputenv("VESPER_SPOTIFY_API_URL", m_fake->api().url().toEncoded());
        QFile::remove(m_dir.filePath(u"defaults.json"_s));
        m_defaults = std::make_unique<SettingsStore>(m_dir.filePath(u"defaults.json"_s));
        m_network = std::make_unique<QNetworkAccessManager>();
        m_secrets = {};
        SecretStore::setBackend(std::make_unique<MemorySecretBackend>(m_secrets));
    }
    void cleanup()
    {
        m_controller.reset();
        m_auth.reset();
    }

    void likeAndUnlikeThroughTheLibrary()
    {
        LogCapture log;
        makeService();
        QVERIFY(!QCoro::waitFor(m_controller->isLiked(kTrack)));
        QVERIFY(QCoro::waitFor(m_controller->like(kTrack)));
        QVERIFY(m_fake->liked.contains(kURI));
        QVERIFY(QCoro::waitFor(m_controller->isLiked(kTrack)));
        QVERIFY(QCoro::waitFor(m_controller->unlike(kTrack)));
        QVERIFY(m_fake->liked.isEmpty());
        QVERIFY(!QCoro::waitFor(m_controller->isLiked(kTrack)));
        // The fake refuses the retired /me/tracks calls and any other shape of request.
        QCOMPARE(m_fake->api().requests().size(), 5);
        QVERIFY2(m_fake->refusals.isEmpty(), qPrintable(m_fake->refusals.join(u"; "_s)));
        QVERIFY(log.contains(u"Vesper: Spotify PUT /me/library?uris="_s + kURI + u" → HTTP 200"_s));

        // IDs that are not Spotify's, or would smuggle a path or query in, send nothing.
        const QString refused[] = { QString(), u"215"_s, u"4uLU6hMCjM&uris=x:y:zz"_s,
                                    u"../../me/player/pause?"_s, u"4uLU6hMCjMI75M1A2tKUQé"_s };
        for (const QString &trackID : refused) {
            QVERIFY(!QCoro::waitFor(m_controller->like(trackID)));
            QVERIFY(!QCoro::waitFor(m_controller->unlike(trackID)));
            QVERIFY(!QCoro::waitFor(m_controller->isLiked(trackID)));
        }
        QCOMPARE(m_fake->api().requests().size(), 5);
        QCOMPARE(log.count(u"Vesper: Spotify PUT /me/library skipped — not a Spotify track ID"_s),
                 5);
        QCOMPARE(log.count(u"Vesper: Spotify GET /me/library/contains skipped — not a Spotify "
                           "track ID"_s),
                 5);
    }

    void likedAnswerShapes()
    {
        const std::pair<QByteArray, bool> answers[] = { { "[true]", true },
                                                        { "[true,false]", true },
                                                        { " [false, true] ", false },
                                                        { "[]", false },
                                                        { R"(["true"])", false },
                                                        { R"([true,"x"])", false },
                                                        { R"({"error":{"status":403}})", false },
                                                        { "<html>true</html>", false } };
        for (const auto &[body, liked] : answers)
            QVERIFY2(SpotifyLibrary::firstLiked(body) == liked, body.constData());
    }

    void failuresReadAsNotLiked()
    {
        LogCapture log;
        makeService(false);
        QVERIFY(!QCoro::waitFor(m_controller->isLiked(kTrack)));
        QVERIFY(log.contains(u"Vesper: Spotify request GET /me/library/contains?uris="_s + kURI
                             + u" skipped — no access token"_s));
        QVERIFY(!QCoro::waitFor(m_controller->like(kTrack)));

        makeService();
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
#include "test_spotifylibrary.moc"
