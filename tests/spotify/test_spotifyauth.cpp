#include "FakeClock.h"
#include "FakeSpotify.h"
#include "LogCapture.h"
#include "MemorySecretBackend.h"

#include "core/SettingsKeys.h"
#include "core/SettingsStore.h"
#include "settings/SecretStore.h"
#include "spotify/SpotifyAuthService.h"

#include <QFile>
#include <QLoggingCategory>
#include <QNetworkAccessManager>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QUrlQuery>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;
using Response = FakeHttpServer::Response;

namespace {
const QString kAccess = SecretStore::Account::spotifyAccessToken;
const QString kRefresh = SecretStore::Account::spotifyRefreshToken;
const QString kTrackPath = u"/me/library?uris=spotify:track:4uLU6hMCjMI75M1A2tKUQC"_s;
const QString kOtherID = u"ffffffffffffffffffffffffffffffff"_s;

Response delayed(Response response, std::chrono::milliseconds delay)
{
    response.delay = delay;
    return response;
}
} // namespace

class TestSpotifyAuth : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    std::unique_ptr<SettingsStore> m_defaults;
    std::unique_ptr<QNetworkAccessManager> m_network;
    std::unique_ptr<FakeSpotify> m_fake;
    SecretItems m_secrets;
    FakeClock m_clock;
    QList<QUrl> m_opened;

    std::unique_ptr<SpotifyAuthService> makeService()
    {
        auto service = std::make_unique<SpotifyAuthService>(*m_defaults, *m_network, m_clock,
                                                            [this](const QUrl &url) {
                                                                m_opened.append(url);
                                                                return true;
                                                            });
        service->setTransferTimeout(2s);
        return service;
    }

    // Hands the browser's redirect to the service: whether the exchange connected.
    static bool redirect(SpotifyAuthService &service, const QUrl &url)
    {
        QSignalSpy finished(&service, &SpotifyAuthService::codeExchangeFinished);
        service.handleCallback(url);
        return finished.wait(5000) && finished.first().first().toBool();
    }

    // A service that starts connected, its token expiring in expiresIn seconds.
    std::unique_ptr<SpotifyAuthService> connectedService(std::optional<qint64> expiresIn
                                                         = std::nullopt)
    {
        const auto [access, refresh] = m_fake->issueTokens();
        m_secrets.items.insert(kAccess, access);
        m_secrets.items.insert(kRefresh, refresh);
        m_defaults->setValue(SettingsKeys::spotifyCustomClientID, m_fake->clientID);
        if (expiresIn)
            m_defaults->setValue(SettingsKeys::spotifyTokenExpiry,
                                 m_clock.now().addSecs(*expiresIn));
        return makeService();
    }

    int tokenRequests() const { return int(m_fake->accounts().requests(u"/api/token"_s).size()); }
    int apiRequests() const { return int(m_fake->api().requests().size()); }

private Q_SLOTS:
    void initTestCase() { QLoggingCategory::setFilterRules(u"northloft.VesperApp.*.debug=true"_s); }

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
        m_opened.clear();
    }

    // The fake accounts service checks the page, and the verifier against the challenge.
    void connectsThroughTheBrowserAndKeepsSecretsOutOfLogsAndSettings()
    {
        QVERIFY(SpotifyAuthService::generateVerifier() != SpotifyAuthService::generateVerifier());
        LogCapture log;
        auto service = makeService();
        service->startAuth();
        QVERIFY(m_opened.isEmpty()); // no client ID, no authorization
        QVERIFY(service->setClientID(m_fake->clientID));
        service->startAuth();
        const QUrl stale = *m_fake->approve(m_opened.last());
        // A second start replaces the verifier: only the latest approval can be exchanged.
        service->startAuth();
        QVERIFY(!redirect(*service, stale));
        const std::optional<QUrl> approved = m_fake->approve(m_opened.last());
        QVERIFY2(approved, qPrintable(m_fake->lastProblem));
        QVERIFY2(redirect(*service, *approved), qPrintable(m_fake->refusals.join(u"; "_s)));
        QCOMPARE(m_secrets.items.value(kAccess), *service->accessToken());
        QVERIFY(m_secrets.items.contains(kRefresh));
        QCOMPARE(m_defaults->dateValue(SettingsKeys::spotifyTokenExpiry),
                 m_clock.now().addSecs(3600));
        QCOMPARE(service->displayName(), m_fake->displayName);

        // The verifier served once: the same redirect again asks nothing.
        service->handleCallback(*approved);
        QTest::qWait(50);
        QCOMPARE(tokenRequests(), 2);
        QVERIFY(log.contains(u"[Spotify] authorization callback received with no authorization "
                             "in progress; ignored"_s));

        QFile file(m_defaults->filePath());
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray settings = file.readAll();
        const QString logged = log.lines().join(u'\n');
        for (const QString &secret : m_fake->secretsIssued()) {
            QVERIFY2(!settings.contains(secret.toUtf8()), qPrintable(secret));
            QVERIFY2(!logged.contains(secret), qPrintable(secret));
        }
    }

    void callbacks()
    {
        auto service = makeService();
        QVERIFY(service->setClientID(m_fake->clientID));
        service->handleCallback(QUrl(u"vesper://callback?code=before-any-start"_s));
        service->startAuth();
        service->handleCallback(m_fake->decline());
        service->handleCallback(QUrl(u"vesper://callback?code="_s));
        service->handleCallback(QUrl(u"vesper://callback?state=x"_s));
        QTest::qWait(100);
        QCOMPARE(tokenRequests(), 0);

        // An answer without a refresh token or lifetime stores neither.
        m_fake->tokenReply = Response::ok(R"({"access_token":"only-access"})");
        QVERIFY(redirect(*service, QUrl(u"vesper://callback?code=x"_s)));
        QCOMPARE(m_secrets.items, (QHash<QString, QString> { { kAccess, u"only-access"_s } }));
        QVERIFY(!m_defaults->contains(SettingsKeys::spotifyTokenExpiry));

        // Only the first code counts, and a code carrying "&" or "=" stays one form field.
        QCOMPARE(SpotifyAuthService::callbackCode(QUrl(u"vesper://callback?code=a%2Bb&code=c"_s)),
                 u"a+b"_s);
        QVERIFY(!SpotifyAuthService::callbackCode(QUrl(u"vesper://callback?code=&code=z"_s)));
        const QUrlQuery form(QString::fromLatin1(SpotifyAuthService::formBody(
            { { u"code"_s, u"a&client_id=evil+x=y"_s }, { u"redirect_uri"_s, u"v://c"_s } })));
        QCOMPARE(form.queryItems().size(), 2);
        QCOMPARE(form.queryItemValue(u"code"_s, QUrl::FullyDecoded), u"a&client_id=evil+x=y"_s);
    }

    void clientIDRules()
    {
        auto service = connectedService(3600);
        QCoro::waitFor(service->fetchProfile());
        QVERIFY(service->setClientID(u"  "_s + m_fake->clientID + u"\n"_s));
        QVERIFY(service->isConnected());
        // Refused input changes nothing, the account included.
        for (const QString &bad : { u"abc def"_s, u"abc&x=1"_s, u"ç1234"_s, QString(200, u'a') })
            QVERIFY(!service->setClientID(bad));
        QVERIFY(service->isConnected());
        QCOMPARE(m_defaults->stringValue(SettingsKeys::spotifyCustomClientID), m_fake->clientID);

        QVERIFY(service->setClientID(kOtherID));
        QCOMPARE(service->customClientID(), kOtherID);
        QVERIFY(!service->isConnected());
        QVERIFY(m_secrets.items.isEmpty());
        QVERIFY(!m_defaults->contains(SettingsKeys::spotifyTokenExpiry));
        QVERIFY(!service->displayName() && !service->avatarURL());
        QVERIFY(service->setClientID(u" \n"_s));
        QVERIFY(!m_defaults->contains(SettingsKeys::spotifyCustomClientID));
    }

    void tokenEndpointFailuresChangeNothing_data()
    {
        QTest::addColumn<Response>("reply");
        Response endless;
        endless.fillerSize = -1;
        // Points at an endpoint that would hand out tokens: following it would connect.
        Response redirect = Response::withStatus(307);
        redirect.headers.emplaceBack("Location", "/api/moved");
        QTest::newRow("not JSON") << Response::ok("<html>Service Unavailable</html>");
        QTest::newRow("token not a string") << Response::ok(R"({"access_token":42})");
        QTest::newRow("token with a line break")
            << Response::ok(R"({"access_token":"a\r\nX-Evil: 1"})");
        QTest::newRow("server error") << Response::withStatus(500, "{}");
        QTest::newRow("timeout") << delayed(Response::ok(R"({"access_token":"late"})"), 1s);
        QTest::newRow("endless body") << endless;
        QTest::newRow("redirect") << redirect;
    }

    void tokenEndpointFailuresChangeNothing()
    {
        QFETCH(Response, reply);
        auto service = connectedService(3600);
        service->setTransferTimeout(300ms);
        const QHash<QString, QString> stored = m_secrets.items;
        m_fake->tokenReply = reply;
        m_fake->accounts().route("POST", u"/api/moved"_s,
                                 Response::ok(R"({"access_token":"moved","expires_in":3600})"));
        service->startAuth();
        QVERIFY(!redirect(*service, QUrl(u"vesper://callback?code=abc"_s)));
        QCOMPARE(m_secrets.items, stored);
        QCOMPARE(m_defaults->dateValue(SettingsKeys::spotifyTokenExpiry),
                 m_clock.now().addSecs(3600));
    }

    void refreshesBeforeExpiryWithSingleUseTokens()
    {
        auto service = connectedService(30);
        const QString spent = m_secrets.items.value(kRefresh);
        // Three calls at once share one refresh: a second would spend a spent token.
        auto first = service->apiCall(kTrackPath, u"PUT"_s);
        auto second = service->apiCall(u"/me"_s, u"GET"_s);
        auto third = service->request(
            u"/me/library/contains?uris=spotify:track:4uLU6hMCjMI75M1A2tKUQC"_s, u"GET"_s);
        QVERIFY(QCoro::waitFor(first)->isSuccess());
        QVERIFY(QCoro::waitFor(second)->isSuccess());
        QVERIFY(QCoro::waitFor(third)->startsWith('['));
        QCOMPARE(tokenRequests(), 1);
        QVERIFY2(m_fake->refusals.isEmpty(), qPrintable(m_fake->refusals.join(u"; "_s)));
        QVERIFY(m_secrets.items.value(kRefresh) != spent);
        QCOMPARE(m_defaults->dateValue(SettingsKeys::spotifyTokenExpiry),
                 m_clock.now().addSecs(3600));

        // A refresh answer without a refresh token keeps the one we have.
        m_fake->rotateRefreshTokens = false;
        m_clock.advance(3600);
        const QString kept = m_secrets.items.value(kRefresh);
        QVERIFY(QCoro::waitFor(service->apiCall(kTrackPath, u"PUT"_s))->isSuccess());
        QCOMPARE(m_fake->refreshes, 2);
        QCOMPARE(m_secrets.items.value(kRefresh), kept);
    }

    void unauthorizedIsRefreshedAndRepeatedOnce()
    {
        auto service = connectedService(); // no stored expiry: nothing is refreshed in advance
        m_fake->expireAccessTokens();
        QVERIFY(QCoro::waitFor(service->apiCall(kTrackPath, u"PUT"_s))->isSuccess());
        QCOMPARE(apiRequests(), 2);
        QCOMPARE(m_fake->refreshes, 1);

        // A service that keeps refusing fresh tokens: the call still ends.
        m_fake->refuseAllBearers = true;
        m_fake->api().clearRequests();
        QCOMPARE(QCoro::waitFor(service->apiCall(kTrackPath, u"PUT"_s))->status, 401);
        QCOMPARE(apiRequests(), 1 + SpotifyAuthService::maxAuthRetries);

        // A refresh that fails hands back the 401 body and keeps the tokens.
        m_fake->tokenReply = Response::withStatus(400, R"({"error":"invalid_grant"})");
        const QHash<QString, QString> stored = m_secrets.items;
        const auto body = QCoro::waitFor(service->request(kTrackPath, u"DELETE"_s));
        QVERIFY(body && body->contains("\"status\":401"));
        QCOMPARE(m_secrets.items, stored);
    }

    void webApiCallsThatFailOrAreHeldBack()
    {
        LogCapture log;
        auto service = connectedService(3600);
        service->setTransferTimeout(300ms);
        Response limited = Response::withStatus(429, R"({"error":{"status":429}})");
        limited.headers.emplaceBack("Retry-After", "10");
        Response huge;
        huge.fillerSize = SpotifyAuthService::maxReplyBytes + 10;
        m_fake->queuedApiReplies = { limited, delayed(Response::ok("[true]"), 2s), huge };
        QCOMPARE(QCoro::waitFor(service->apiCall(kTrackPath, u"PUT"_s))->status, 429);
        m_clock.advance(9);
        QVERIFY(!QCoro::waitFor(service->apiCall(kTrackPath, u"PUT"_s)));
        QCOMPARE(apiRequests(), 1);
        QVERIFY(log.contains(u"Vesper: Spotify request PUT "_s + kTrackPath
                             + u" skipped — rate limited for another 1 s"_s));
        m_clock.advance(1.5);

        QVERIFY(!QCoro::waitFor(service->request(u"/me"_s, u"GET"_s)));
        QVERIFY(!QCoro::waitFor(service->request(u"/me"_s, u"GET"_s)));
        QCOMPARE(log.lines().filter(u"Vesper: Spotify request GET /me failed: "_s).size(), 2);
        QVERIFY(log.contains(u"Vesper: Spotify request GET /me failed: the answer is larger than "_s
                             + QString::number(SpotifyAuthService::maxReplyBytes) + u" bytes"_s));
        QCOMPARE(apiRequests(), 3);

        // A day at most, however long the service asks for.
        QCOMPARE(SpotifyAuthService::retryAfterSeconds("99999999999"),
                 SpotifyAuthService::maxRetryAfterSeconds);
    }

    void profileIsKeptOnErrors()
    {
        auto service = connectedService(3600);
        QCoro::waitFor(service->fetchProfile());
        QCOMPARE(service->displayName(), m_fake->displayName);
        m_fake->queuedApiReplies.append(Response::withStatus(500, R"({"error":{"status":500}})"));
        QCoro::waitFor(service->fetchProfile());
        QCOMPARE(service->displayName(), m_fake->displayName);

        // moc misreads "//" in a raw string as a comment, hence the escaped slashes.
        m_fake->queuedApiReplies.append(Response::ok(
            R"({"display_name":null,"images":[{"height":64},{"url":"https:\/\/i.scdn.co/b"}]})"));
        QCoro::waitFor(service->fetchProfile());
        QVERIFY(!service->displayName());
        QVERIFY(!m_defaults->contains(SettingsKeys::spotifyDisplayName));
        QCOMPARE(service->avatarURL(), u"https://i.scdn.co/b"_s);
    }

    void signingOutDiscardsLateAnswers()
    {
        auto service = makeService();
        QVERIFY(service->setClientID(m_fake->clientID));
        service->startAuth();
        const QUrl approved = *m_fake->approve(m_opened.last());
        m_fake->api().route("GET", u"/v1/me"_s, [](const FakeHttpServer::Request &) {
            return delayed(Response::ok(R"({"display_name":"Late"})"), 300ms);
        });
        QSignalSpy finished(service.get(), &SpotifyAuthService::codeExchangeFinished);
        QSignalSpy connected(service.get(), &SpotifyAuthService::accessTokenChanged);
        service->handleCallback(approved);
        QVERIFY(connected.wait(5000));
        service->disconnect(); // while the profile is on its way
        QVERIFY(finished.wait(5000));
        QVERIFY(!service->isConnected());
        QVERIFY(!service->displayName());
        QVERIFY(m_secrets.items.isEmpty());

        // A refresh answered after the client ID changed is not applied either.
        auto other = connectedService(10);
        m_fake->tokenReply
            = delayed(Response::ok(R"({"access_token":"old-id","expires_in":60})"), 300ms);
        auto call = other->request(u"/me"_s, u"GET"_s);
        QTest::qWait(100);
        QVERIFY(other->setClientID(kOtherID));
        QCoro::waitFor(call);
        QVERIFY(!other->isConnected());
        QVERIFY(m_secrets.items.isEmpty());
    }

    void legacyTokensMoveIntoTheSecretStore()
    {
        m_defaults->setValue(SettingsKeys::legacySpotifyAccessToken, u"legacy-access"_s);
        m_defaults->setValue(SettingsKeys::legacySpotifyRefreshToken, u"legacy-refresh"_s);
        m_secrets.refuseWrites = true;
        QCOMPARE(makeService()->accessToken(), u"legacy-access"_s);
        QVERIFY(m_defaults->contains(SettingsKeys::legacySpotifyAccessToken)); // not lost

        m_secrets.refuseWrites = false;
        QCOMPARE(makeService()->accessToken(), u"legacy-access"_s);
        QCOMPARE(m_secrets.items.value(kRefresh), u"legacy-refresh"_s);
        QVERIFY(!m_defaults->contains(SettingsKeys::legacySpotifyAccessToken));
        QVERIFY(!m_defaults->contains(SettingsKeys::legacySpotifyRefreshToken));
    }
};

QTEST_GUILESS_MAIN(TestSpotifyAuth)
#include "test_spotifyauth.moc"
