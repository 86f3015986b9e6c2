#include "FakeClock.h"
#include "FakeSpotify.h"
#include "LogCapture.h"
#include "MemorySecretBackend.h"

#include "core/DefaultsKeys.h"
#include "core/UserDefaults.h"
#include "services/KeychainStore.h"
#include "services/SpotifyAuthService.h"

#include <QFile>
#include <QJsonObject>
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
const QString kAccess = KeychainStore::Account::spotifyAccessToken;
const QString kRefresh = KeychainStore::Account::spotifyRefreshToken;
const QString kTrackPath = u"/me/library?uris=spotify:track:4uLU6hMCjMI75M1A2tKUQC"_s;
} // namespace

class TestSpotifyAuth : public QObject
{
    Q_OBJECT

private:
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

    // Connects through the browser flow, as a user does.
    void connectAccount(SpotifyAuthService &service)
    {
        QVERIFY(service.setClientID(m_fake->clientID));
        service.startAuth();
        QVERIFY(!m_opened.isEmpty());
        const std::optional<QUrl> redirect = m_fake->approve(m_opened.last());
        QVERIFY2(redirect, qPrintable(m_fake->lastProblem));
        QSignalSpy finished(&service, &SpotifyAuthService::codeExchangeFinished);
        service.handleCallback(*redirect);
        QVERIFY(finished.wait(5000));
        QVERIFY2(finished.first().first().toBool(), qPrintable(m_fake->refusals.join(u"; "_s)));
    }

    // A service that starts connected, its token expiring in expiresIn seconds.
    std::unique_ptr<SpotifyAuthService> connectedService(std::optional<qint64> expiresIn
                                                         = std::nullopt)
    {
        const auto [access, refresh] = m_fake->issueTokens();
        m_secrets.items.insert(kAccess, access);
        m_secrets.items.insert(kRefresh, refresh);
        m_defaults->setValue(DefaultsKeys::spotifyCustomClientID, m_fake->clientID);
        if (expiresIn)
            m_defaults->setValue(DefaultsKeys::spotifyTokenExpiry,
                                 m_clock.now().addSecs(*expiresIn));
        return makeService();
    }

    int tokenRequests() const { return int(m_fake->accounts().requests(u"/api/token"_s).size()); }
    int apiRequests() const { return int(m_fake->api().requests().size()); }

    QTemporaryDir m_dir;
    std::unique_ptr<UserDefaults> m_defaults;
    std::unique_ptr<QNetworkAccessManager> m_network;
    std::unique_ptr<FakeSpotify> m_fake;
    SecretItems m_secrets;
    FakeClock m_clock;
    QList<QUrl> m_opened;

private Q_SLOTS:
    void initTestCase() { QLoggingCategory::setFilterRules(u"northloft.VesperApp.*.debug=true"_s); }

    void init()
    {
        m_fake = std::make_unique<FakeSpotify>();
        qputenv("VESPER_SPOTIFY_ACCOUNTS_URL", m_fake->accounts().url().toEncoded());
        qputenv("VESPER_SPOTIFY_API_URL", m_fake->api().url().toEncoded());
        QFile::remove(m_dir.filePath(u"defaults.json"_s));
        m_defaults = std::make_unique<UserDefaults>(m_dir.filePath(u"defaults.json"_s));
        m_network = std::make_unique<QNetworkAccessManager>();
        m_secrets = {};
        KeychainStore::setBackend(std::make_unique<MemorySecretBackend>(m_secrets));
        m_opened.clear();
    }

    void pkce()
    {
        // RFC 7636, appendix B.
        const QByteArray octets {
            "\x74\x18\xdf\xb4\x97\x99\xe0\x25\x4f\xfa\x60\x7d\xd8\xad\xbb\xba"
            "\x16\xd4\x25\x4d\x69\xd6\xbf\xf0\x5b\x58\x05\x58\x53\x84\x8d\x79",
            32
        };
        const QString verifier = SpotifyAuthService::base64Url(octets);
        QCOMPARE(verifier, u"dBjftJeZ4CVP-mB92K27uhbUJU1p1r_wW1gFWFOEjXk"_s);
        QCOMPARE(SpotifyAuthService::generateChallenge(verifier),
                 u"E9Melhoa2OwvFrEMTJguCHaoeK1t8URWbuGJSstw-cM"_s);

        const QString first = SpotifyAuthService::generateVerifier();
        QCOMPARE(first.size(), 86);
        QVERIFY(QRegularExpression(u"^[A-Za-z0-9_-]+$"_s).match(first).hasMatch());
        QVERIFY(first != SpotifyAuthService::generateVerifier());
        QCOMPARE(SpotifyAuthService::generateChallenge(first).size(), 43);
    }

    void authorizationPage()
    {
        auto service = makeService();
        service->startAuth();
        QVERIFY(m_opened.isEmpty()); // no client ID, no authorization

        QVERIFY(service->setClientID(m_fake->clientID));
        service->startAuth();
        QCOMPARE(m_opened.size(), 1);
        const QUrl page = m_opened.first();
        QVERIFY(page.toEncoded().contains("scope=user-library-read%20user-library-modify"));
        QStringList names;
        const auto items = QUrlQuery(page).queryItems();
        for (const auto &item : items)
            names.append(item.first);
        QCOMPARE(names,
                 QStringList({ u"client_id"_s, u"response_type"_s, u"redirect_uri"_s, u"scope"_s,
                               u"code_challenge_method"_s, u"code_challenge"_s }));
        QVERIFY2(m_fake->approve(page), qPrintable(m_fake->lastProblem));

        // A second start replaces the verifier: only the latest approval can be exchanged.
        const QUrl stale = *m_fake->approve(page);
        service->startAuth();
        QSignalSpy finished(service.get(), &SpotifyAuthService::codeExchangeFinished);
        service->handleCallback(stale);
        QVERIFY(finished.wait(5000));
        QCOMPARE(finished.first().first().toBool(), false);
        QVERIFY(!service->isConnected());
    }

    void connectsAndKeepsSecretsOutOfLogsAndSettings()
    {
        LogCapture log;
        auto service = makeService();
        connectAccount(*service);
        if (QTest::currentTestFailed())
            return;
        QVERIFY(service->isConnected());
        QCOMPARE(m_secrets.items.value(kAccess), *service->accessToken());
        QVERIFY(m_secrets.items.contains(kRefresh));
        QCOMPARE(m_defaults->dateValue(DefaultsKeys::spotifyTokenExpiry),
                 m_clock.now().addSecs(3600));
        QCOMPARE(service->displayName(), m_fake->displayName);
        QCOMPARE(service->avatarURL(), m_fake->avatarURL);

        // The verifier served once: the same redirect again asks nothing.
        const int before = tokenRequests();
        service->handleCallback(*m_fake->approve(m_opened.last()));
        QTest::qWait(50);
        QCOMPARE(tokenRequests(), before);

        QVERIFY(m_fake->refreshes == 0 && m_fake->exchanges == 1);
        QFile file(m_defaults->filePath());
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray settings = file.readAll();
        const QString logged = log.lines().join(u'\n');
        const QStringList secrets = m_fake->secretsIssued();
        for (const QString &secret : secrets) {
            QVERIFY2(!settings.contains(secret.toUtf8()), qPrintable(secret));
            QVERIFY2(!logged.contains(secret), qPrintable(secret));
        }
        QVERIFY(log.contains(
            u"[Spotify] authorization callback received with no authorization in progress; ignored"_s));
    }

    void callbacksThatStartNothing()
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
    }

    void clientIDRules()
    {
        auto service = makeService();
        QVERIFY(service->setClientID(u"  "_s + m_fake->clientID + u"\n"_s));
        QCOMPARE(m_defaults->stringValue(DefaultsKeys::spotifyCustomClientID), m_fake->clientID);
        connectAccount(*service);
        if (QTest::currentTestFailed())
            return;

        QVERIFY(service->setClientID(m_fake->clientID + u" "_s));
        QVERIFY(service->isConnected());
        // Refused input changes nothing, the account included.
        for (const QString &bad : { u"abc def"_s, u"abc&x=1"_s, u"ç1234"_s, QString(200, u'a') })
            QVERIFY(!service->setClientID(bad));
        QVERIFY(service->isConnected());
        QCOMPARE(service->customClientID(), m_fake->clientID);

        QVERIFY(service->setClientID(u"ffffffffffffffffffffffffffffffff"_s));
        QVERIFY(!service->isConnected());
        QVERIFY(m_secrets.items.isEmpty());
        QVERIFY(!m_defaults->contains(DefaultsKeys::spotifyTokenExpiry));
        QVERIFY(!service->displayName() && !service->avatarURL());
        QVERIFY(service->setClientID(u" \n"_s));
        QVERIFY(!m_defaults->contains(DefaultsKeys::spotifyCustomClientID));
    }

    void tokenEndpointFailuresChangeNothing_data()
    {
        QTest::addColumn<Response>("reply");
        Response slow = Response::ok(R"({"access_token":"late","expires_in":3600})");
        slow.delay = 3s;
        Response endless;
        endless.fillerSize = -1;
        // Points at an endpoint that would hand out tokens: following it would connect.
        Response redirect = Response::withStatus(307);
        redirect.headers.emplaceBack("Location", "/api/moved");
        QTest::newRow("not JSON") << Response::ok("<html>Service Unavailable</html>");
        QTest::newRow("no access token") << Response::ok(R"({"token_type":"Bearer"})");
        QTest::newRow("token not a string") << Response::ok(R"({"access_token":42})");
        QTest::newRow("token with a line break")
            << Response::ok(R"({"access_token":"a\r\nX-Evil: 1"})");
        QTest::newRow("server error") << Response::withStatus(500, "{}");
        QTest::newRow("timeout") << slow;
        QTest::newRow("endless body") << endless;
        QTest::newRow("redirect") << redirect;
    }

    void tokenEndpointFailuresChangeNothing()
    {
        QFETCH(Response, reply);
        auto service = connectedService(3600);
        const QHash<QString, QString> stored = m_secrets.items;
        m_fake->tokenReply = reply;
        m_fake->accounts().route("POST", u"/api/moved"_s,
                                 Response::ok(R"({"access_token":"moved","expires_in":3600})"));
        service->startAuth();
        QSignalSpy finished(service.get(), &SpotifyAuthService::codeExchangeFinished);
        service->handleCallback(QUrl(u"vesper://callback?code=abc"_s));
        QVERIFY(finished.wait(5000));
        QCOMPARE(finished.first().first().toBool(), false);
        QCOMPARE(m_secrets.items, stored);
        QCOMPARE(m_defaults->dateValue(DefaultsKeys::spotifyTokenExpiry),
                 m_clock.now().addSecs(3600));
    }

    void exchangeWithoutRefreshTokenStoresNone()
    {
        auto service = makeService();
        QVERIFY(service->setClientID(m_fake->clientID));
        service->startAuth();
        m_fake->tokenReply
            = Response::ok(R"({"access_token":"only-access","token_type":"Bearer"})");
        QSignalSpy finished(service.get(), &SpotifyAuthService::codeExchangeFinished);
        service->handleCallback(QUrl(u"vesper://callback?code=x"_s));
        QVERIFY(finished.wait(5000));
        QCOMPARE(m_secrets.items.value(kAccess), u"only-access"_s);
        QVERIFY(!m_secrets.items.contains(kRefresh));
        QVERIFY(!m_defaults->contains(DefaultsKeys::spotifyTokenExpiry));
    }

    void refreshesBeforeExpiryWithSingleUseTokens()
    {
        auto service = connectedService(30);
        const QString spent = m_secrets.items.value(kRefresh);
        const auto reply = QCoro::waitFor(service->apiCall(kTrackPath, u"PUT"_s));
        QVERIFY(reply && reply->isSuccess());
        QCOMPARE(m_fake->refreshes, 1);
        QVERIFY(m_secrets.items.value(kRefresh) != spent);
        QCOMPARE(m_defaults->dateValue(DefaultsKeys::spotifyTokenExpiry),
                 m_clock.now().addSecs(3600));

        // A refresh answer without a refresh token keeps the one we have.
        m_fake->rotateRefreshTokens = false;
        m_clock.advance(3600);
        const QString kept = m_secrets.items.value(kRefresh);
        QVERIFY(QCoro::waitFor(service->apiCall(kTrackPath, u"PUT"_s))->isSuccess());
        QCOMPARE(m_fake->refreshes, 2);
        QCOMPARE(m_secrets.items.value(kRefresh), kept);
    }

    void concurrentCallsShareOneRefresh()
    {
        auto service = connectedService(10);
        auto first = service->apiCall(kTrackPath, u"PUT"_s);
        auto second = service->apiCall(u"/me"_s, u"GET"_s);
        auto third = service->request(
            u"/me/library/contains?uris=spotify:track:4uLU6hMCjMI75M1A2tKUQC"_s, u"GET"_s);
        QVERIFY(QCoro::waitFor(first)->isSuccess());
        QVERIFY(QCoro::waitFor(second)->isSuccess());
        QVERIFY(QCoro::waitFor(third)->startsWith('['));
        QCOMPARE(tokenRequests(), 1);
        QVERIFY2(m_fake->refusals.isEmpty(), qPrintable(m_fake->refusals.join(u"; "_s)));
    }

    void unauthorizedIsRefreshedAndRepeatedOnce()
    {
        LogCapture log;
        auto service = connectedService(); // no stored expiry: nothing is refreshed in advance
        m_fake->expireAccessTokens();
        QVERIFY(QCoro::waitFor(service->apiCall(kTrackPath, u"PUT"_s))->isSuccess());
        QCOMPARE(apiRequests(), 2);
        QCOMPARE(m_fake->refreshes, 1);
        QCOMPARE(
            log.lines()
                .filter(u"Vesper: Spotify PUT "_s + kTrackPath
                        + u" → HTTP 401: {\"error\":{\"message\":\"The access token expired\""_s)
                .size(),
            1);

        // A service that keeps refusing fresh tokens: the call still ends.
        m_fake->refuseAllBearers = true;
        m_fake->api().clearRequests();
        auto reply = QCoro::waitFor(service->apiCall(kTrackPath, u"PUT"_s));
        QCOMPARE(reply->status, 401);
        QCOMPARE(apiRequests(), 1 + SpotifyAuthService::maxAuthRetries);

        // A refresh that fails hands back the 401 body and keeps the tokens.
        m_fake->tokenReply = Response::withStatus(400, R"({"error":"invalid_grant"})");
        const QHash<QString, QString> stored = m_secrets.items;
        const auto body = QCoro::waitFor(service->request(kTrackPath, u"DELETE"_s));
        QVERIFY(body && body->contains("\"status\":401"));
        QCOMPARE(m_secrets.items, stored);
    }

    void rateLimitIsHonoured()
    {
        LogCapture log;
        auto service = connectedService(3600);
        Response limited = Response::withStatus(
            429, R"({"error":{"status":429,"message":"API rate limit exceeded"}})");
        limited.headers.emplaceBack("Retry-After", "10");
        m_fake->queuedApiReplies.append(limited);
        QCOMPARE(QCoro::waitFor(service->apiCall(kTrackPath, u"PUT"_s))->status, 429);

        m_clock.advance(9);
        QVERIFY(!QCoro::waitFor(service->apiCall(kTrackPath, u"PUT"_s)));
        QCOMPARE(apiRequests(), 1);
        QVERIFY(log.contains(u"Vesper: Spotify request PUT "_s + kTrackPath
                             + u" skipped — rate limited for another 1 s"_s));
        m_clock.advance(1.5);
        QVERIFY(QCoro::waitFor(service->apiCall(kTrackPath, u"PUT"_s))->isSuccess());

        QCOMPARE(SpotifyAuthService::retryAfterSeconds(" 120 "), 120.0);
        QCOMPARE(SpotifyAuthService::retryAfterSeconds("0"), 1.0);
        QCOMPARE(SpotifyAuthService::retryAfterSeconds("99999999999"),
                 SpotifyAuthService::maxRetryAfterSeconds);
        QVERIFY(!SpotifyAuthService::retryAfterSeconds("Wed, 21 Oct 2015 07:28:00 GMT"));
        QVERIFY(!SpotifyAuthService::retryAfterSeconds(""));
    }

    void webApiTransportFailures()
    {
        LogCapture log;
        auto service = connectedService(3600);
        service->setTransferTimeout(300ms);
        Response slow = Response::ok("[true]");
        slow.delay = 2s;
        Response huge;
        huge.fillerSize = SpotifyAuthService::maxReplyBytes + 10;
        m_fake->queuedApiReplies = { slow, huge };
        QVERIFY(!QCoro::waitFor(service->request(u"/me"_s, u"GET"_s)));
        QVERIFY(!QCoro::waitFor(service->request(u"/me"_s, u"GET"_s)));
        QCOMPARE(log.lines().filter(u"Vesper: Spotify request GET /me failed: "_s).size(), 2);
        QVERIFY(log.contains(u"Vesper: Spotify request GET /me failed: the answer is larger than "_s
                             + QString::number(SpotifyAuthService::maxReplyBytes) + u" bytes"_s));

        QVERIFY(!QCoro::waitFor(service->request(u"me"_s, u"GET"_s)));
        QVERIFY(log.contains(u"Vesper: Spotify request GET me skipped — not a valid address"_s));
        QCOMPARE(apiRequests(), 2);

        // A JSON body goes out as such; an error answer's body is handed back and logged.
        const auto body = QCoro::waitFor(
            service->request(u"/me/player/volume"_s, u"PUT"_s, QJsonObject { { u"v"_s, 1 } }));
        QCOMPARE(body, QByteArray("not found"));
        const FakeHttpServer::Request sent = m_fake->api().requests().last();
        QCOMPARE(sent.header("content-type"), QByteArray("application/json"));
        QCOMPARE(sent.body, QByteArray(R"({"v":1})"));
        QVERIFY(log.contains(u"Vesper: Spotify PUT /me/player/volume → HTTP 404: not found"_s));
    }

    void profile()
    {
        auto service = connectedService(3600);
        QCoro::waitFor(service->fetchProfile());
        QCOMPARE(service->displayName(), m_fake->displayName);

        // An error answer says nothing about the profile.
        m_fake->queuedApiReplies.append(Response::withStatus(500, R"({"error":{"status":500}})"));
        QCoro::waitFor(service->fetchProfile());
        QCOMPARE(service->displayName(), m_fake->displayName);

        m_fake->queuedApiReplies.append(
            Response::ok("{\"display_name\":null,\"images\":[{\"height\":64},{\"url\":\"https:\\/"
                         "\\/i.scdn.co/b\"}]}"));
        QCoro::waitFor(service->fetchProfile());
        QVERIFY(!service->displayName());
        QVERIFY(!m_defaults->contains(DefaultsKeys::spotifyDisplayName));
        QCOMPARE(service->avatarURL(), u"https://i.scdn.co/b"_s);
    }

    void signingOutDiscardsLateAnswers()
    {
        auto service = makeService();
        QVERIFY(service->setClientID(m_fake->clientID));
        service->startAuth();
        const QUrl redirect = *m_fake->approve(m_opened.last());
        m_fake->api().route("GET", u"/v1/me"_s, [](const FakeHttpServer::Request &) {
            Response late = Response::ok(R"({"display_name":"Late"})");
            late.delay = 300ms;
            return late;
        });
        QSignalSpy finished(service.get(), &SpotifyAuthService::codeExchangeFinished);
        QSignalSpy connected(service.get(), &SpotifyAuthService::accessTokenChanged);
        service->handleCallback(redirect);
        QVERIFY(connected.wait(5000));
        service->disconnect(); // while the profile is on its way
        QVERIFY(finished.wait(5000));
        QVERIFY(!service->isConnected());
        QVERIFY(!service->displayName());
        QVERIFY(m_secrets.items.isEmpty());

        // A refresh answered after the client ID changed is not applied either.
        auto other = connectedService(10);
        Response slowToken = Response::ok(R"({"access_token":"for-the-old-id","expires_in":3600})");
        slowToken.delay = 300ms;
        m_fake->tokenReply = slowToken;
        auto call = other->request(u"/me"_s, u"GET"_s);
        QTest::qWait(100);
        QVERIFY(other->setClientID(u"ffffffffffffffffffffffffffffffff"_s));
        QCoro::waitFor(call);
        QVERIFY(!other->isConnected());
        QVERIFY(m_secrets.items.isEmpty());
    }

    void legacyTokensMoveIntoTheSecretStore()
    {
        m_defaults->setValue(DefaultsKeys::legacySpotifyAccessToken, u"legacy-access"_s);
        m_defaults->setValue(DefaultsKeys::legacySpotifyRefreshToken, u"legacy-refresh"_s);
        m_secrets.refuseWrites = true;
        auto refused = makeService();
        QCOMPARE(refused->accessToken(), u"legacy-access"_s);
        QVERIFY(m_defaults->contains(DefaultsKeys::legacySpotifyAccessToken)); // not lost

        m_secrets.refuseWrites = false;
        auto service = makeService();
        QCOMPARE(service->accessToken(), u"legacy-access"_s);
        QCOMPARE(m_secrets.items.value(kRefresh), u"legacy-refresh"_s);
        QVERIFY(!m_defaults->contains(DefaultsKeys::legacySpotifyAccessToken));
        QVERIFY(!m_defaults->contains(DefaultsKeys::legacySpotifyRefreshToken));
    }

    void formAndCallbackParsing()
    {
        // A code that smuggles form fields stays one value.
        const QByteArray body
            = SpotifyAuthService::formBody({ { u"code"_s, u"a&client_id=evil+x=y"_s },
                                             { u"redirect_uri"_s, u"vesper://callback"_s } });
        const QUrlQuery parsed(QString::fromLatin1(body));
        QCOMPARE(parsed.queryItems().size(), 2);
        QCOMPARE(parsed.queryItemValue(u"code"_s, QUrl::FullyDecoded), u"a&client_id=evil+x=y"_s);

        QCOMPARE(SpotifyAuthService::callbackCode(QUrl(u"vesper://callback?code=a%2Bb&code=c"_s)),
                 u"a+b"_s);
        QCOMPARE(SpotifyAuthService::callbackCode(QUrl(u"vesper://x/y?state=1&code=z"_s)), u"z"_s);
        QVERIFY(!SpotifyAuthService::callbackCode(QUrl(u"vesper://callback?code=&code=z"_s)));
        QVERIFY(
            !SpotifyAuthService::callbackCode(QUrl(u"vesper://callback?error=access_denied"_s)));
    }
};

QTEST_GUILESS_MAIN(TestSpotifyAuth)
#include "test_spotifyauth.moc"
