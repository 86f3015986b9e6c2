#include "FakeLastFm.h"
#include "LogCapture.h"
#include "MemorySecretBackend.h"
#include "core/DefaultsKeys.h"
#include "core/UserDefaults.h"
#include "services/KeychainStore.h"
#include "services/LastFmService.h"
#include "services/ScrobbleQueue.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>
#include <QUrlQuery>

using namespace Qt::StringLiterals;

namespace {
const QString kApiKey = QStringLiteral(VESPER_TEST_LASTFM_API_KEY);
const QString kSecret = QStringLiteral(VESPER_TEST_LASTFM_SHARED_SECRET);
const QString kSessionAccount = KeychainStore::Account::lastfmSessionKey;

QJsonObject object(const char *json) { return QJsonDocument::fromJson(json).object(); }

// The image list of a user.getInfo answer, sizes from small up.
QJsonArray images(const QStringList &urls)
{
    const QStringList sizes { u"small"_s, u"medium"_s, u"large"_s, u"extralarge"_s };
    QJsonArray list;
    for (qsizetype i = 0; i < urls.size(); ++i)
        list.append(QJsonObject { { u"#text"_s, urls.at(i) }, { u"size"_s, sizes.value(i) } });
    return list;
}

QueuedScrobble entry(qint64 timestamp)
{
    return { u"Artist"_s, u"Track %1"_s.arg(timestamp), u"Album"_s, 200, timestamp };
}
} // namespace

Q_DECLARE_METATYPE(FakeHttpServer::Response)

class TestLastFm : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    SecretItems m_secrets;
    std::unique_ptr<FakeLastFm> m_fake;
    std::unique_ptr<UserDefaults> m_defaults;
    std::unique_ptr<QNetworkAccessManager> m_network;
    QList<QUrl> m_opened;

    std::unique_ptr<LastFmService> makeService()
    {
        auto service = std::make_unique<LastFmService>(
            *m_defaults, *m_network, [this](const QUrl &url) { m_opened.append(url); });
        service->setApprovalPollInterval(std::chrono::milliseconds(5));
        return service;
    }

    // A service signed in through the browser flow as the fake's user.
    std::unique_ptr<LastFmService> signedIn()
    {
        auto service = makeService();
        service->startAuth();
        [&] { QTRY_VERIFY(service->isConnected()); }();
        [&] { QTRY_COMPARE(service->authState(), LastFmService::AuthState::Idle); }();
        m_fake->clear();
        m_opened.clear();
        return service;
    }

    QCoro::Task<> call(LastFmService &service, QString method, std::optional<QJsonObject> &out,
                       bool &done)
    {
        out = co_await service.request(method, {}, u"POST"_s);
        done = true;
    }
    std::optional<QJsonObject> request(LastFmService &service, const QString &method)
    {
        std::optional<QJsonObject> out;
        bool done = false;
        call(service, method, out, done);
        [&] { QTRY_VERIFY_WITH_TIMEOUT(done, 10000); }();
        return out;
    }

private Q_SLOTS:
    void init()
    {
        m_fake = std::make_unique<FakeLastFm>(kApiKey, kSecret);
        qputenv("VESPER_LASTFM_API_URL", m_fake->url().toEncoded());
        qputenv("VESPER_LASTFM_AUTH_URL", "http://127.0.0.1:9");
        QFile::remove(m_dir.filePath(u"defaults.json"_s));
        m_defaults = std::make_unique<UserDefaults>(m_dir.filePath(u"defaults.json"_s));
        m_network = std::make_unique<QNetworkAccessManager>();
        m_secrets = {};
        KeychainStore::setBackend(std::make_unique<MemorySecretBackend>(m_secrets));
        m_opened.clear();
    }

    void cleanup() { QCOMPARE(m_fake->rejectedSignatures(), 0); }

    void signing()
    {
        // The service's published example.
        const LastFm::Params vector { { u"api_key"_s, u"YOUR_API_KEY"_s },
                                      { u"method"_s, u"auth.getSession"_s },
                                      { u"token"_s, u"YOUR_REQUESTED_TOKEN"_s } };
        QCOMPARE(LastFm::signature(vector, u"YOUR_SECRET"_s),
                 u"94539006de89b3c6b3c030bb1e52b9c4"_s);
        // format and callback are not signed.
        LastFm::Params withFormat = vector;
        withFormat.insert(u"format"_s, u"json"_s);
        withFormat.insert(u"callback"_s, u"f"_s);
        QCOMPARE(LastFm::signature(withFormat, u"YOUR_SECRET"_s),
                 u"94539006de89b3c6b3c030bb1e52b9c4"_s);

        // Byte order puts "[10]" before "[1]" (']' sorts after '0'); values are signed as UTF-8.
        LastFm::Params indexed;
        for (int i = 0; i <= 10; ++i)
            indexed.insert(u"track[%1]"_s.arg(i), u"t%1"_s.arg(i));
        indexed.insert(u"artist[0]"_s, u"Mötley Crüe"_s);
        QByteArray expected = "artist[0]" + u"Mötley Crüe"_s.toUtf8() + "track[0]t0track[10]t10";
        for (int i = 1; i <= 9; ++i)
            expected += "track[" + QByteArray::number(i) + "]t" + QByteArray::number(i);
        expected += "s3cret";
        QCOMPARE(LastFm::signature(indexed, u"s3cret"_s),
                 QString::fromLatin1(
                     QCryptographicHash::hash(expected, QCryptographicHash::Md5).toHex()));
    }

    void formEncoding()
    {
        QCOMPARE(LastFm::percentEncode(u"a b&c=d+e/f?é-._~"_s),
                 QByteArray("a%20b%26c%3Dd%2Be%2Ff%3F%C3%A9-._~"));
        const QByteArray form = LastFm::formEncode(
            { { u"artist[0]"_s, u"Simon & Garfunkel"_s }, { u"track[0]"_s, u"1+1=2"_s } });
        QCOMPARE(FakeLastFm::parseForm(form).value(u"artist[0]"_s), u"Simon & Garfunkel"_s);
        QCOMPARE(FakeLastFm::parseForm(form).value(u"track[0]"_s), u"1+1=2"_s);
    }

    void replies()
    {
        // Error codes come as numbers or strings; the service calls (below) cover the rest.
        const LastFm::Reply offline = LastFm::parseReply(R"({"error":"11"})", 200);
        QCOMPARE(offline.apiError->code, 11);
        QCOMPARE(offline.apiError->message, u"unknown"_s);
        QVERIFY(LastFm::parseReply("{}", 200).object);

        QCOMPARE(LastFm::sessionFrom(object(R"({"session":{"name":"a","key":"k"}})"))->key, u"k"_s);
        QVERIFY(!LastFm::sessionFrom(object(R"({"session":{"name":"a","key":""}})")));
        QVERIFY(!LastFm::sessionFrom(object(R"({"session":"k"})")));
        QVERIFY(!LastFm::tokenFrom(object(R"({"token":5})")));

        // Without counts, the entries of a scrobble answer tell.
        const auto uncounted = LastFm::scrobbleCountsFrom(object(
            R"({"scrobbles":{"scrobble":[{"ignoredMessage":{"code":"3"}},{"ignoredMessage":{"code":"0"}}]}})"));
        QCOMPARE(uncounted->ignored, 1);
        QCOMPARE(uncounted->accepted, 1);
        QVERIFY(!LastFm::scrobbleCountsFrom(object(R"({"nowplaying":{}})")));
        QVERIFY(!LastFm::scrobbleCountsFrom(object(R"({"scrobbles":{}})")));
    }

    void loggableMessages()
    {
        QCOMPARE(LastFm::loggable(u"bad\nVesper: forged line"_s), u"bad Vesper: forged line"_s);
        QCOMPARE(LastFm::loggable(u"key abc123 refused"_s, u"abc123"_s), u"key <hidden> refused"_s);
        QCOMPARE(LastFm::loggable(QString(1000, u'x')).size(), 301);
    }

    void signInThroughTheBrowser()
    {
        m_fake->pollsBeforeApproval = 2;
        m_fake->images = images({ u"https://img/s.png"_s, u"https://img/xl.png"_s, QString() });
        auto service = makeService();
        QSignalSpy states(service.get(), &LastFmService::authStateChanged);
        service->startAuth();
        service->startAuth(); // the token is still on its way: not a second sign-in
        QTRY_COMPARE(service->authState(), LastFmService::AuthState::WaitingForApproval);
        service->startAuth();
        QCOMPARE(m_opened.size(), 1);
        QCOMPARE(m_opened.first().path(), u"/api/auth/"_s);
        QCOMPARE(m_opened.first().query(QUrl::FullyEncoded),
                 u"api_key="_s + kApiKey + u"&token=fake-token-1"_s);

        QTRY_VERIFY(service->isConnected());
        QTRY_COMPARE(service->authState(), LastFmService::AuthState::Idle);
        QCOMPARE(states.size(), 2);
        QCOMPARE(m_fake->calls(u"auth.getToken"_s).size(), 1);
        QCOMPARE(m_fake->calls(u"auth.getSession"_s).size(), 3);
        for (const FakeLastFm::Call &call : m_fake->calls()) {
            QCOMPARE(call.httpMethod, QByteArray("GET"));
            QCOMPARE(call.params.value(u"format"_s), u"json"_s);
        }
        QCOMPARE(m_secrets.items.value(kSessionAccount), m_fake->sessionKey);
        QCOMPARE(m_defaults->stringValue(DefaultsKeys::lastfmUsername), u"alice"_s);
        // The last non-empty image is the largest one.
        QTRY_COMPARE(service->avatarURL(), u"https://img/xl.png"_s);
        QCOMPARE(m_fake->calls(u"user.getInfo"_s).first().params.value(u"sk"_s),
                 m_fake->sessionKey);
        // The session key stays out of the settings file.
        QFile file(m_defaults->filePath());
        QVERIFY(file.open(QIODevice::ReadOnly));
        QVERIFY(!file.readAll().contains(m_fake->sessionKey.toUtf8()));
    }

    void signInThatEndsWithoutASession()
    {
        // Never approved: 30 polls, then idle with nothing stored.
        m_fake->pollsBeforeApproval = -1;
        auto service = makeService();
        service->startAuth();
        QTRY_COMPARE(service->authState(), LastFmService::AuthState::WaitingForApproval);
        QTRY_COMPARE(service->authState(), LastFmService::AuthState::Idle);
        QCOMPARE(m_fake->calls(u"auth.getSession"_s).size(), LastFmService::kMaxApprovalPolls);
        QVERIFY(!service->isConnected());

        // No token: no page, and the sign-in is over.
        m_opened.clear();
        m_fake->clear();
        m_fake->script(u"auth.getToken"_s, FakeHttpServer::Response::ok("{}"));
        service->startAuth();
        QTRY_COMPARE(m_fake->calls(u"auth.getToken"_s).size(), 1);
        QTest::qWait(50);
        QCOMPARE(service->authState(), LastFmService::AuthState::Idle);
        QVERIFY(m_opened.isEmpty());
        QCOMPARE(m_fake->calls().size(), 1);

        // An expired token ends the poll.
        m_fake->clear();
        m_fake->script(u"auth.getSession"_s, FakeLastFm::error(15, u"Token expired"_s, 403));
        service->startAuth();
        QTRY_VERIFY(!m_fake->calls(u"auth.getSession"_s).isEmpty());
        QTRY_COMPARE(service->authState(), LastFmService::AuthState::Idle);
        QTest::qWait(50);
        QCOMPARE(m_fake->calls(u"auth.getSession"_s).size(), 1);
        QVERIFY(!service->isConnected());
        QVERIFY(m_secrets.items.isEmpty());
    }

    void cancelledSignInStoresNothing()
    {
        m_fake->pollsBeforeApproval = 1;
        auto service = makeService();
        service->setApprovalPollInterval(std::chrono::milliseconds(150));
        service->startAuth();
        QTRY_COMPARE(service->authState(), LastFmService::AuthState::WaitingForApproval);
        service->cancelAuth();
        QCOMPARE(service->authState(), LastFmService::AuthState::Idle);
        QTest::qWait(500);
        // The poll that was asleep never asked again, so the approval was never seen.
        QVERIFY(m_fake->calls(u"auth.getSession"_s).isEmpty());
        QVERIFY(!service->isConnected());
        QVERIFY(m_secrets.items.isEmpty());
    }

    void failedCallsAreLoggedAndAnswerNothing_data()
    {
        QTest::addColumn<FakeHttpServer::Response>("response");
        QTest::addColumn<QString>("line");
        QTest::newRow("error with 200")
            << FakeLastFm::error(16, u"Temporary error"_s)
            << u"Vesper: Last.fm track.scrobble failed: 16 Temporary error"_s;
        QTest::newRow("error with 503")
            << FakeLastFm::error(11, u"Service Offline"_s, 503)
            << u"Vesper: Last.fm track.scrobble failed: 11 Service Offline"_s;
        QTest::newRow("rate limit")
            << FakeLastFm::error(29, u"Rate Limit Exceeded"_s, 429)
            << u"Vesper: Last.fm track.scrobble failed: 29 Rate Limit Exceeded"_s;
        QTest::newRow("not an object") << FakeHttpServer::Response::ok("[]")
                                       << u"Vesper: Last.fm track.scrobble failed: -1 malformed "
                                          "response"_s;
        QTest::newRow("status without error")
            << FakeHttpServer::Response::withStatus(500, "{}")
            << u"Vesper: Last.fm track.scrobble failed: -1 HTTP 500"_s;
        QTest::newRow("not JSON")
            << FakeHttpServer::Response::withStatus(502, "<html>Bad gateway</html>")
            << u"Vesper: Last.fm track.scrobble transport error: the answer (HTTP 502) is not "
               "JSON: illegal value"_s;
        FakeHttpServer::Response slow = FakeHttpServer::Response::ok("{}");
        slow.delay = std::chrono::milliseconds(2000);
        QTest::newRow("timeout") << slow
                                 << u"Vesper: Last.fm track.scrobble transport error: the request "
                                    "timed out"_s;
        FakeHttpServer::Response huge;
        huge.fillerSize = -1;
        QTest::newRow("endless body")
            << huge
            << u"Vesper: Last.fm track.scrobble transport error: the answer is larger than "
               "2097152 bytes"_s;
    }

    void failedCallsAreLoggedAndAnswerNothing()
    {
        QFETCH(FakeHttpServer::Response, response);
        QFETCH(QString, line);
        auto service = signedIn();
        service->setRequestTimeout(std::chrono::milliseconds(300));
        m_fake->script(u"track.scrobble"_s, response);
        LogCapture log;
        QVERIFY(!request(*service, u"track.scrobble"_s));
        QCOMPARE(log.lines(), QStringList { line });
        QVERIFY(service->isConnected());
    }

    void transportErrorsNeverShowTheSessionKey()
    {
        auto service = signedIn();
        // Nothing listens on the port any more: the GET, with sk in its query, is refused.
        QTcpServer closed;
        QVERIFY(closed.listen(QHostAddress::LocalHost));
        const quint16 port = closed.serverPort();
        closed.close();
        qputenv("VESPER_LASTFM_API_URL", "http://127.0.0.1:" + QByteArray::number(port));
        auto offline = makeService();
        QVERIFY(offline->isConnected());
        LogCapture log;
        offline->fetchProfile();
        QTRY_COMPARE(log.lines(),
                     QStringList { u"Vesper: Last.fm user.getInfo transport error: connection "
                                   "refused"_s });
        // A message that echoes the key is shown without it.
        m_fake->script(u"track.scrobble"_s,
                       FakeLastFm::error(6, u"Bad sk "_s + m_fake->sessionKey + u"\nforged"_s));
        QVERIFY(!request(*service, u"track.scrobble"_s));
        QCOMPARE(log.lines().last(),
                 u"Vesper: Last.fm track.scrobble failed: 6 Bad sk <hidden> forged"_s);
        for (const QString &logged : log.lines())
            QVERIFY(!logged.contains(m_fake->sessionKey));
    }

    void revokedSessionKeepsTheQueueForTheSameUser()
    {
        auto service = signedIn();
        ScrobbleQueue queue(*m_defaults);
        QVERIFY(queue.store({ entry(1), entry(2) }));
        m_fake->sessionKey = u"a-new-key-elsewhere"_s; // the old one is revoked
        LogCapture log;
        QVERIFY(!request(*service, u"track.scrobble"_s));
        QVERIFY(log.contains(u"Vesper: Last.fm session invalid — disconnecting"_s));
        QVERIFY(!service->isConnected());
        QVERIFY(!service->username());
        QVERIFY(!m_secrets.items.contains(kSessionAccount));
        QVERIFY(!m_defaults->contains(DefaultsKeys::lastfmUsername));
        QCOMPARE(queue.entries().size(), 2);

        // Later calls go without a session key.
        QVERIFY(!request(*service, u"track.scrobble"_s));
        QVERIFY(!m_fake->calls().last().params.contains(u"sk"_s));

        // The same user, in another letter case, signs in again: the queue is theirs.
        m_fake->user = u"Alice"_s;
        m_fake->pollsBeforeApproval = 0;
        service->startAuth();
        QTRY_VERIFY(service->isConnected());
        QCOMPARE(queue.entries().size(), 2);
        QVERIFY(!m_defaults->contains(DefaultsKeys::lastfmScrobbleQueueOwner));
    }

    void revokedSessionQueueNeverGoesToAnotherUser()
    {
        auto service = signedIn();
        ScrobbleQueue queue(*m_defaults);
        QVERIFY(queue.store({ entry(1) }));
        m_fake->sessionKey = u"bobs-key"_s;
        QVERIFY(!request(*service, u"track.scrobble"_s));
        m_fake->user = u"bob"_s;
        service->startAuth();
        QTRY_VERIFY(service->isConnected());
        QVERIFY(queue.entries().isEmpty());
        const QStringList aside
            = QDir(m_dir.path()).entryList({ u"lastfmScrobbleQueue.json.unsent-alice-*"_s });
        QCOMPARE(aside.size(), 1);
        QFile file(m_dir.filePath(aside.first()));
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(ScrobbleQueue::decode(file.readAll()).value_or(QList<QueuedScrobble>()),
                 QList<QueuedScrobble> { entry(1) });
        file.remove();
    }

    void staleInvalidSessionLeavesTheNewOneAlone()
    {
        auto service = signedIn();
        FakeHttpServer::Response late = FakeLastFm::error(9, u"Invalid session key"_s, 403);
        late.delay = std::chrono::milliseconds(400);
        m_fake->script(u"track.scrobble"_s, late);
        std::optional<QJsonObject> out;
        bool done = false;
        call(*service, u"track.scrobble"_s, out, done);
        // The user disconnects and signs in again while the old call is out.
        service->disconnect();
        m_fake->sessionKey = u"second-session"_s;
        service->startAuth();
        QTRY_VERIFY(service->isConnected());
        LogCapture log;
        QTRY_VERIFY(done);
        QCOMPARE(service->sessionKey(), u"second-session"_s);
        QCOMPARE(log.lines(),
                 QStringList { u"Vesper: Last.fm track.scrobble failed: 9 Invalid session key"_s });
    }

    void disconnectForgetsTheAccountAndItsQueue()
    {
        auto service = signedIn();
        ScrobbleQueue queue(*m_defaults);
        QVERIFY(queue.store({ entry(1) }));
        service->disconnect();
        QVERIFY(!service->isConnected());
        QVERIFY(m_secrets.items.isEmpty());
        QVERIFY(!m_defaults->contains(DefaultsKeys::lastfmUsername));
        QVERIFY(!m_defaults->contains(DefaultsKeys::lastfmAvatarURL));
        QCOMPARE(m_defaults->dataValue(DefaultsKeys::lastfmScrobbleQueue), QByteArray("[]"));
    }

    void profile()
    {
        m_fake->images = images({ u"https://a/0.png"_s });
        auto service = signedIn();
        QCOMPARE(service->avatarURL(), u"https://a/0.png"_s);
        m_fake->images = images({ QString(), QString() });
        service->fetchProfile();
        QTRY_VERIFY(!service->avatarURL());
        QVERIFY(!m_defaults->contains(DefaultsKeys::lastfmAvatarURL));

        m_fake->images = images({ u"https://a/1.png"_s });
        service->fetchProfile();
        QTRY_COMPARE(service->avatarURL(), u"https://a/1.png"_s);
        // An answer without an image list changes nothing.
        m_fake->script(u"user.getInfo"_s, FakeHttpServer::Response::ok(R"({"user":{}})"));
        service->fetchProfile();
        QTRY_VERIFY(m_fake->calls(u"user.getInfo"_s).size() == 3);
        QTest::qWait(20);
        QCOMPARE(service->avatarURL(), u"https://a/1.png"_s);
    }

    void legacySessionKeyMovesIntoTheSecretStore()
    {
        m_defaults->setValue(DefaultsKeys::legacyLastfmSessionKey, u"legacy-key"_s);
        m_defaults->setValue(DefaultsKeys::lastfmUsername, u"carol"_s);
        auto service = makeService();
        QCOMPARE(service->sessionKey(), u"legacy-key"_s);
        QCOMPARE(service->username(), u"carol"_s);
        QCOMPARE(m_secrets.items.value(kSessionAccount), u"legacy-key"_s);
        QVERIFY(!m_defaults->contains(DefaultsKeys::legacyLastfmSessionKey));
        QFile file(m_defaults->filePath());
        QVERIFY(file.open(QIODevice::ReadOnly));
        QVERIFY(!file.readAll().contains("legacy-key"));
    }
};

QTEST_GUILESS_MAIN(TestLastFm)
#include "test_lastfm.moc"
