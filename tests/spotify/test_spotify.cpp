#include "FakeClock.h"
#include "FakeHttpServer.h"
#include "LogCapture.h"
#include "ServiceFixture.h"
#include "core/SettingsKeys.h"
#include "core/SettingsStore.h"
#include "settings/SecretStore.h"
#include "spotify/SpotifyAuthService.h"
#include "spotify/SpotifyLibrary.h"

#include <QJsonDocument>
#include <QSignalSpy>
#include <QTest>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;
using Response = FakeHttpServer::Response;
using Request = FakeHttpServer::Request;

namespace {
const QString kAccess = SecretStore::Account::spotifyAccessToken;
const QString kRefresh = SecretStore::Account::spotifyRefreshToken;
const QString kClientID = u"0123456789abcdef0123456789abcdef"_s;
const QString kTrack = u"4uLU6hMCjMI75M1A2tKUQC"_s;
const QString kLibraryPath = u"/me/library?uris=spotify:track:4uLU6hMCjMI75M1A2tKUQC"_s;

// Each token answer hands out ("access-N", "refresh-N"); the profile answers the newest only.
struct FakeSpotify
{
    FakeHttpServer accounts;
    FakeHttpServer api;
    int issued = 0;
    QString liveToken = u"access-0"_s;
    std::optional<Response> tokenReply; // answers the token endpoint instead while set

    FakeSpotify()
    {
        accounts.route("POST", u"/api/token"_s, [this](const Request &) {
            liveToken = tokenReply ? liveToken : u"access-%1"_s.arg(++issued);
            return tokenReply.value_or(Response::ok(
                uR"({"access_token":"%1","refresh_token":"refresh-%2","expires_in":3600})"_s
                    .arg(liveToken)
                    .arg(issued)
                    .toUtf8()));
        });
        api.route("GET", u"/v1/me"_s, [this](const Request &request) {
            return request.header("authorization") == "Bearer " + liveToken.toLatin1()
                ? Response::ok(R"({"display_name":"Ada"})")
                : Response::withStatus(401);
        });
    }
    int tokenRequests() const { return int(accounts.requests().size()); }
};
} // namespace

class TestSpotify : public QObject
{
    Q_OBJECT

    std::unique_ptr<ServiceFixture> m_env;
    std::unique_ptr<FakeSpotify> m_fake;
    FakeClock m_clock;
    QList<QUrl> m_opened;

    // Signed out, or connected with "access-0" expiring in `expiresIn` s (0: no expiry stored).
    std::unique_ptr<SpotifyAuthService> make(std::optional<qint64> expiresIn = {})
    {
        if (expiresIn) {
            m_env->secretItems().items
                = { { kAccess, u"access-0"_s }, { kRefresh, u"refresh-0"_s } };
            m_env->settings().setValue(SettingsKeys::spotifyCustomClientID, kClientID);
            if (*expiresIn)
                m_env->settings().setValue(SettingsKeys::spotifyTokenExpiry,
                                           m_clock.now().addSecs(*expiresIn));
        }
        return std::make_unique<SpotifyAuthService>(
            m_env->settings(), m_env->secrets(), m_env->network(), m_clock,
            [this](const QUrl &url) { return m_opened.append(url), true; });
    }

    // Hands the browser's redirect to the service: whether the exchange connected.
    static bool redirect(SpotifyAuthService &service, const QUrl &url)
    {
        QSignalSpy finished(&service, &SpotifyAuthService::codeExchangeFinished);
        service.handleCallback(url);
        return finished.wait(5000) && finished.first().first().toBool();
    }

private Q_SLOTS:
    void init()
    {
        m_env = std::make_unique<ServiceFixture>();
        m_fake = std::make_unique<FakeSpotify>();
        m_env->setEndpoint("VESPER_SPOTIFY_ACCOUNTS_URL", m_fake->accounts.url());
        m_env->setEndpoint("VESPER_SPOTIFY_API_URL", m_fake->api.url());
        m_opened.clear();
    }

    void cleanup() { QVERIFY(m_env->networkDrained()); }

    void protocol()
    {
        // RFC 7636, appendix B.
        QCOMPARE(Spotify::generateChallenge(u"dBjftJeZ4CVP-mB92K27uhbUJU1p1r_wW1gFWFOEjXk"_s),
                 u"E9Melhoa2OwvFrEMTJguCHaoeK1t8URWbuGJSstw-cM"_s);
        const QString verifier = Spotify::generateVerifier();
        QVERIFY(QRegularExpression(u"^[A-Za-z0-9_-]{86}$"_s).match(verifier).hasMatch());
        QVERIFY(verifier != Spotify::generateVerifier());
        const QUrlQuery page(Spotify::authorizationURL(QUrl(u"http://a/"_s), u"id"_s, u"ch"_s));
        QCOMPARE(page.queryItemValue(u"code_challenge_method"_s) + page.queryItemValue(u"scope"_s)
                     + page.queryItemValue(u"redirect_uri"_s, QUrl::FullyDecoded),
                 u"S256user-library-read user-library-modifyvesper://callback"_s);

        // Only the first code counts, and a code carrying "&" or "=" stays one form field.
        QCOMPARE(Spotify::callbackCode(QUrl(u"vesper://callback?code=a%2Bb&code=c"_s)), u"a+b"_s);
        QVERIFY(!Spotify::callbackCode(QUrl(u"vesper://callback?code=&code=z"_s)));
        QCOMPARE(
            Spotify::formBody({ { u"code"_s, u"a&client_id=evil+x=y é"_s }, { u"b"_s, u"1"_s } }),
            QByteArray("code=a%26client_id%3Devil%2Bx%3Dy%20%C3%A9&b=1"));

        // A token that could not travel in a header line is refused, and so is the answer.
        const auto reply = Spotify::parseTokenReply(
            R"({"access_token":"a","refresh_token":"b c","expires_in":1e12})");
        QVERIFY(reply && reply->accessToken == u"a"_s && !reply->refreshToken);
        QCOMPARE(reply->expiresIn, 366LL * 24 * 60 * 60);
        const QByteArray tooLong = "{\"access_token\":\"" + QByteArray(5000, 'a') + "\"}";
        for (const QByteArray &refused : { QByteArray(R"({"access_token":"a\r\nX: 1"})"), tooLong })
            QVERIFY2(!Spotify::parseTokenReply(refused), refused.constData());

        QCOMPARE(Spotify::retryAfterSeconds("99999999999"), Spotify::maxRetryAfterSeconds);
        QVERIFY(!Spotify::retryAfterSeconds("-1"));

        // Track IDs are 22 characters of base 62; nothing else reaches a path or query.
        QVERIFY(SpotifyLibrary::isTrackID(kTrack));
        for (const QString &bad :
             { u"215"_s, u"4uLU6hMCjM&uris=x:y:zz"_s, u"4uLU6hMCjMI75M1A2tKUQé"_s })
            QVERIFY(!SpotifyLibrary::isTrackID(bad));
        QCOMPARE(SpotifyLibrary::libraryPath(kTrack), kLibraryPath);
        QVERIFY(!SpotifyLibrary::firstLiked("[]") && !SpotifyLibrary::firstLiked(R"([true,"x"])"));

        QVERIFY(!Spotify::trimmedClientID(u" "_s) && !Spotify::isValidClientID(QString(200, u'a')));
    }

    void connectsThroughTheBrowserAndKeepsSecretsOutOfLogsAndSettings()
    {
        LogCapture log;
        auto service = make();
        service->startAuth();
        QVERIFY(m_opened.isEmpty() && service->setClientID(kClientID)); // no ID, no authorization
        service->startAuth();
        QVERIFY(redirect(*service, QUrl(u"vesper://callback?code=c0de"_s)));
        QCOMPARE(service->displayName(), u"Ada"_s);

        // The verifier sent is the one whose challenge the page was given.
        const QUrlQuery page(m_opened.last());
        const QUrlQuery form(QString::fromLatin1(m_fake->accounts.requests().first().body));
        QCOMPARE(Spotify::generateChallenge(form.queryItemValue(u"code_verifier"_s)),
                 page.queryItemValue(u"code_challenge"_s));
        QCOMPARE(m_env->secretItems().items.value(kRefresh), u"refresh-1"_s);
        QCOMPARE(m_env->settings().dateValue(SettingsKeys::spotifyTokenExpiry),
                 m_clock.now().addSecs(3600));

        // The verifier served once: the same redirect again asks nothing.
        service->handleCallback(QUrl(u"vesper://callback?code=c0de"_s));
        QVERIFY(log.contains(u"[Spotify] authorization callback received with no authorization "
                             "in progress; ignored"_s));

        const QString kept = log.lines().join(u'\n')
            + QString::fromUtf8(QJsonDocument(m_env->storedSettings()).toJson());
        for (const QString &secret : { u"c0de"_s, u"access-1"_s, u"refresh-1"_s })
            QVERIFY2(!kept.contains(secret), qPrintable(secret));

        // Redirects are not followed, here to an endpoint that would hand out other tokens.
        Response moved = Response::withStatus(307);
        moved.headers.emplaceBack("Location", "/api/moved");
        m_fake->tokenReply = moved;
        m_fake->accounts.route("POST", u"/api/moved"_s,
                               Response::ok(R"({"access_token":"moved"})"));
        service->startAuth();
        QVERIFY(!redirect(*service, QUrl(u"vesper://callback?code=abc"_s)));
        QCOMPARE(m_env->secretItems().items.value(kAccess), u"access-1"_s);
        QCOMPARE(m_fake->accounts.requests(u"/api/moved"_s).size(), 0);
    }

    // Refresh tokens are single-use: concurrent calls refused with 401 share one refresh.
    void refreshesOnceForConcurrentCalls()
    {
        auto service = make(0); // no stored expiry: nothing is refreshed in advance
        m_fake->liveToken = u"expired"_s;
        auto first = service->apiCall(u"/me"_s, u"GET"_s);
        auto second = service->apiCall(u"/me"_s, u"GET"_s);
        auto third = service->request(u"/me"_s, u"GET"_s);
        QVERIFY(QCoro::waitFor(first)->isSuccess() && QCoro::waitFor(second)->isSuccess());
        QVERIFY(QCoro::waitFor(third)->contains("Ada"));
        QCOMPARE(m_fake->tokenRequests(), 1);
        QVERIFY(m_fake->accounts.requests().first().body.contains("refresh_token=refresh-0"));
        QCOMPARE(m_env->secretItems().items.value(kRefresh), u"refresh-1"_s);

        // A token about to expire is refreshed before the call.
        m_clock.advance(3590);
        QVERIFY(QCoro::waitFor(service->apiCall(u"/me"_s, u"GET"_s))->isSuccess());
        QCOMPARE(m_fake->tokenRequests(), 2);

        // A service that keeps refusing fresh tokens: the call still ends, with its 401.
        m_fake->liveToken = u"expired"_s;
        m_fake->tokenReply = Response::ok(R"({"access_token":"refused-too"})");
        m_fake->api.clearRequests();
        QCOMPARE(QCoro::waitFor(service->apiCall(u"/me"_s, u"GET"_s))->status, 401);
        QCOMPARE(m_fake->api.requests().size(), 1 + SpotifyAuthService::maxAuthRetries);
    }

    void lateAnswersAfterSignOutAreDiscarded()
    {
        auto service = make();
        QVERIFY(service->setClientID(kClientID));
        service->startAuth();
        Response late = Response::ok(R"({"display_name":"Late"})");
        late.delay = 300ms;
        m_fake->api.route("GET", u"/v1/me"_s, late);
        QSignalSpy finished(service.get(), &SpotifyAuthService::codeExchangeFinished);
        QSignalSpy connected(service.get(), &SpotifyAuthService::accessTokenChanged);
        service->handleCallback(QUrl(u"vesper://callback?code=c0de"_s));
        QVERIFY(connected.wait(5000));
        service->disconnect(); // while the profile is on its way
        QVERIFY(finished.wait(5000) && !service->displayName());
        QVERIFY(m_env->secretItems().items.isEmpty());

        // A refresh answered after the client ID changed is not applied either: tokens of one
        // client ID are never used with another. A refused ID changes nothing.
        auto other = make(10);
        late.body = R"({"access_token":"old-id"})";
        m_fake->tokenReply = late;
        auto call = other->request(u"/me"_s, u"GET"_s);
        QTRY_COMPARE(m_fake->tokenRequests(), 2);
        QVERIFY(!other->setClientID(u"abc&x=1"_s) && other->setClientID(u" "_s + kClientID)
                && other->isConnected());
        QVERIFY(other->setClientID(u"ffff"_s) && !QCoro::waitFor(call));
        QVERIFY(m_env->secretItems().items.isEmpty());
        QCOMPARE(m_env->settings().stringValue(SettingsKeys::spotifyCustomClientID), u"ffff"_s);
    }

    // An error answer says nothing about the profile; after a 429 the Web API is left alone
    // for as long as it asked.
    void webApiCalls()
    {
        auto service = make(0);
        QCoro::waitFor(service->fetchProfile());
        Response limited = Response::withStatus(429, R"({"display_name":null})");
        limited.headers.emplaceBack("Retry-After", "10");
        m_fake->api.route("GET", u"/v1/me"_s, limited);
        QCoro::waitFor(service->fetchProfile());
        QCOMPARE(service->displayName(), u"Ada"_s);
        m_clock.advance(9);
        QVERIFY(!QCoro::waitFor(service->apiCall(u"/me"_s, u"GET"_s)));
        QCOMPARE(m_fake->api.requests().size(), 2);

        // The library, once the hold is over.
        m_clock.advance(1);
        m_fake->api.clearRequests();
        SpotifyLibrary library(*service);
        m_fake->api.route("PUT", u"/v1/me/library"_s, Response::withStatus(200));
        m_fake->api.route("GET", u"/v1/me/library/contains"_s, Response::ok("[true]"));
        QVERIFY(QCoro::waitFor(library.like(kTrack)) && QCoro::waitFor(library.isLiked(kTrack)));
        const Request sent = m_fake->api.requests().first();
        QCOMPARE(sent.path + u'?' + QString::fromLatin1(sent.rawQuery), u"/v1"_s + kLibraryPath);
        QCOMPARE(sent.header("authorization"), QByteArray("Bearer access-0"));

        // An ID that is not Spotify's sends nothing; a refused change is no change.
        QVERIFY(!QCoro::waitFor(library.like(u"../../me/player/pause?"_s)));
        QVERIFY(!QCoro::waitFor(library.unlike(kTrack))); // no route: 404
        QCOMPARE(m_fake->api.requests().size(), 3);
    }
};

QTEST_GUILESS_MAIN(TestSpotify)
#include "test_spotify.moc"
