#include "FakeLastFm.h"
#include "LogCapture.h"
#include "MemorySecretBackend.h"
#include "core/SettingsKeys.h"
#include "core/SettingsStore.h"
#include "scrobbling/LastFmService.h"
#include "scrobbling/ScrobbleQueue.h"
#include "settings/SecretStore.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;
using Response = FakeHttpServer::Response;
using AuthState = LastFmService::AuthState;

namespace {
const QString kApiKey = QStringLiteral(VESPER_TEST_LASTFM_API_KEY);
const QString kSecret = QStringLiteral(VESPER_TEST_LASTFM_SHARED_SECRET);
const QString kSessionAccount = SecretStore::Account::lastfmSessionKey;

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

std::optional<QJsonObject> scrobble(LastFmService &service)
{
    return QCoro::waitFor(service.request(u"track.scrobble"_s, {}, u"POST"_s));
}
} // namespace

Q_DECLARE_METATYPE(FakeHttpServer::Response)

class TestLastFm : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    SecretItems m_secrets;
    std::unique_ptr<FakeLastFm> m_fake;
    std::unique_ptr<SettingsStore> m_defaults;
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
        [&] { QTRY_COMPARE(service->authState(), AuthState::Idle); }();
        m_fake->clear();
        m_opened.clear();
        return service;
    }

    bool settingsFileContains(const QString &text) const
    {
        QFile file(m_defaults->filePath());
        return file.open(QIODevice::ReadOnly) && file.readAll().contains(text.toUtf8());
    }

private Q_SLOTS:
    void init()
    {
        m_fake = std::make_unique<FakeLastFm>(kApiKey, kSecret);
        qputenv("VESPER_LASTFM_API_URL", m_fake->url().toEncoded());
        qputenv("VESPER_LASTFM_AUTH_URL", "http://127.0.0.1:9");
        QFile::remove(m_dir.filePath(u"defaults.json"_s));
        m_defaults = std::make_unique<SettingsStore>(m_dir.filePath(u"defaults.json"_s));
        m_network = std::make_unique<QNetworkAccessManager>();
        m_secrets = {};
        SecretStore::setBackend(std::make_unique<MemorySecretBackend>(m_secrets));
        m_opened.clear();
    }

    // Every call below is also checked by the fake, which signs on its own. A call still in
    // flight (a profile read after sign-in) must end before its network goes.
    void cleanup()
    {
        QTRY_VERIFY(m_network->findChildren<QNetworkReply *>().isEmpty());
        QCOMPARE(m_fake->rejectedSignatures(), 0);
    }

    void protocol()
    {
        // The service's published example; format and callback are not signed.
        LastFm::Params example { { u"api_key"_s, u"YOUR_API_KEY"_s },
                                 { u"method"_s, u"auth.getSession"_s },
                                 { u"token"_s, u"YOUR_REQUESTED_TOKEN"_s },
                                 { u"format"_s, u"json"_s },
                                 { u"callback"_s, u"f"_s } };
        QCOMPARE(LastFm::signature(example, u"YOUR_SECRET"_s),
                 u"94539006de89b3c6b3c030bb1e52b9c4"_s);
        // Byte order puts "[10]" before "[1]"; values are signed as UTF-8.
        const LastFm::Params indexed { { u"track[1]"_s, u"Mötley Crüe"_s },
                                       { u"track[10]"_s, u"t"_s } };
        QCOMPARE(LastFm::signature(indexed, u"s"_s),
                 FakeLastFm::expectedSignature(indexed, u"s"_s));

        QCOMPARE(LastFm::formEncode({ { u"a"_s, u"x&y=1+1"_s }, { u"b"_s, u"é"_s } }),
                 QByteArray("a=x%26y%3D1%2B1&b=%C3%A9"));

        // Error codes come as numbers or strings; the service calls below cover the rest.
        QCOMPARE(LastFm::parseReply(R"({"error":"11"})", 200).apiError->code, 11);
        QVERIFY(!LastFm::sessionFrom(object(R"({"session":{"name":"a","key":""}})")));
        // Without counts, the entries of a scrobble answer tell.
        const auto uncounted = LastFm::scrobbleCountsFrom(object(
            R"({"scrobbles":{"scrobble":[{"ignoredMessage":{"code":"3"}},{"ignoredMessage":{"code":"0"}}]}})"));
        QCOMPARE(uncounted->ignored, 1);
        QCOMPARE(uncounted->accepted, 1);
        QVERIFY(!LastFm::scrobbleCountsFrom(object(R"({"scrobbles":{}})")));

        QCOMPARE(LastFm::loggable(u"bad\nVesper: forged line"_s), u"bad Vesper: forged line"_s);
        QCOMPARE(LastFm::loggable(QString(1000, u'x')).size(), 301);
    }

    void signInThroughTheBrowser()
    {
        m_fake->pollsBeforeApproval = 2;
        m_fake->images = images({ u"https://img/s.png"_s, u"https://img/xl.png"_s, QString() });
        auto service = makeService();
        service->startAuth();
        service->startAuth(); // the token is still on its way: not a second sign-in
        QTRY_COMPARE(service->authState(), AuthState::WaitingForApproval);
        service->startAuth();
        QCOMPARE(m_opened.size(), 1);
        QCOMPARE(m_opened.first().path(), u"/api/auth/"_s);
        QCOMPARE(m_opened.first().query(QUrl::FullyEncoded),
                 u"api_key="_s + kApiKey + u"&token=fake-token-1"_s);

        QTRY_VERIFY(service->isConnected());
        QTRY_COMPARE(service->authState(), AuthState::Idle);
        QCOMPARE(m_fake->calls(u"auth.getToken"_s).size(), 1);
        QCOMPARE(m_secrets.items.value(kSessionAccount), m_fake->sessionKey);
        QCOMPARE(m_defaults->stringValue(SettingsKeys::lastfmUsername), u"alice"_s);
        // The last non-empty image is the largest one.
        QTRY_COMPARE(service->avatarURL(), u"https://img/xl.png"_s);
        QVERIFY(!settingsFileContains(m_fake->sessionKey));
    }

    void signInThatEndsWithoutASession()
    {
        // Never approved: 30 polls, then idle with nothing stored.
        m_fake->pollsBeforeApproval = -1;
        auto service = makeService();
        service->startAuth();
        QTRY_COMPARE(service->authState(), AuthState::WaitingForApproval);
        QTRY_COMPARE(service->authState(), AuthState::Idle);
        QCOMPARE(m_fake->calls(u"auth.getSession"_s).size(), LastFmService::kMaxApprovalPolls);

        // No token: no page, and the sign-in is over.
        m_opened.clear();
        m_fake->clear();
        m_fake->script(u"auth.getToken"_s, Response::ok("{}"));
        service->startAuth();
        QTRY_COMPARE(m_fake->calls(u"auth.getToken"_s).size(), 1);
        QTest::qWait(50);
        QCOMPARE(service->authState(), AuthState::Idle);
        QVERIFY(m_opened.isEmpty());
        QCOMPARE(m_fake->calls().size(), 1);

        // An expired token ends the poll.
        m_fake->clear();
        m_fake->script(u"auth.getSession"_s, FakeLastFm::error(15, u"Token expired"_s, 403));
        service->startAuth();
        QTRY_VERIFY(!m_fake->calls(u"auth.getSession"_s).isEmpty());
        QTRY_COMPARE(service->authState(), AuthState::Idle);
        QTest::qWait(50);
        QCOMPARE(m_fake->calls(u"auth.getSession"_s).size(), 1);

        // A cancelled sign-in: the poll that was asleep never asks again, so the approval that
        // came meanwhile is never seen.
        m_fake->clear();
        m_fake->pollsBeforeApproval = 0;
        service->setApprovalPollInterval(std::chrono::milliseconds(150));
        service->startAuth();
        QTRY_COMPARE(service->authState(), AuthState::WaitingForApproval);
        service->cancelAuth();
        QCOMPARE(service->authState(), AuthState::Idle);
        QTest::qWait(300);
        QVERIFY(m_fake->calls(u"auth.getSession"_s).isEmpty());
        QVERIFY(!service->isConnected());
        QVERIFY(m_secrets.items.isEmpty());
    }

    void failedCallsAreLoggedAndAnswerNothing_data()
    {
        QTest::addColumn<Response>("response");
        QTest::addColumn<QString>("line");
        Response slow = Response::ok("{}");
        slow.delay = std::chrono::milliseconds(1000);
        Response huge;
        huge.fillerSize = -1;
        const QString failed = u"Vesper: Last.fm track.scrobble failed: "_s;
        const QString transport = u"Vesper: Last.fm track.scrobble transport error: "_s;
        QTest::newRow("error with 200")
            << FakeLastFm::error(16, u"Temporary error"_s) << failed + u"16 Temporary error"_s;
        QTest::newRow("error with 503")
            << FakeLastFm::error(11, u"Service Offline"_s, 503) << failed + u"11 Service Offline"_s;
        QTest::newRow("not an object") << Response::ok("[]") << failed + u"-1 malformed response"_s;
        QTest::newRow("status without error")
            << Response::withStatus(500, "{}") << failed + u"-1 HTTP 500"_s;
        QTest::newRow("not JSON") << Response::withStatus(502, "<html>Bad gateway</html>")
                                  << transport
                + u"the answer (HTTP 502) is not JSON: illegal value"_s;
        QTest::newRow("timeout") << slow << transport + u"the request timed out"_s;
        QTest::newRow("endless body")
            << huge << transport + u"the answer is larger than 2097152 bytes"_s;
    }

    void failedCallsAreLoggedAndAnswerNothing()
    {
        QFETCH(Response, response);
        QFETCH(QString, line);
        auto service = signedIn();
        service->setRequestTimeout(std::chrono::milliseconds(300));
        m_fake->script(u"track.scrobble"_s, response);
        LogCapture log;
        QVERIFY(!scrobble(*service));
        QCOMPARE(log.lines(), QStringList { line });
        QVERIFY(service->isConnected());
    }

    void logLinesNeverShowTheSessionKey()
    {
        auto service = signedIn();
        // Qt's own error text would name the URL, whose query carries the session key.
        QTcpServer closed;
        QVERIFY(closed.listen(QHostAddress::LocalHost));
        const quint16 port = closed.serverPort();
        closed.close();
        qputenv("VESPER_LASTFM_API_URL", "http://127.0.0.1:" + QByteArray::number(port));
        auto offline = makeService();
        LogCapture log;
        offline->fetchProfile();
        QTRY_COMPARE(log.lines(),
                     QStringList { u"Vesper: Last.fm user.getInfo transport error: connection "
                                   "refused"_s });
        // A message that echoes the key is shown without it.
        m_fake->script(u"track.scrobble"_s,
                       FakeLastFm::error(6, u"Bad sk "_s + m_fake->sessionKey + u"\nforged"_s));
        QVERIFY(!scrobble(*service));
        QCOMPARE(log.lines().last(),
                 u"Vesper: Last.fm track.scrobble failed: 6 Bad sk <hidden> forged"_s);
    }

    // Error 9 signs out but keeps the queue for the user it belongs to, and only for them.
    void revokedSessionKeepsTheQueueForItsUser()
    {
        auto service = signedIn();
        ScrobbleQueue queue(*m_defaults);
        QVERIFY(queue.store({ entry(1), entry(2) }));
        m_fake->sessionKey = u"a-new-key-elsewhere"_s; // the old one is revoked
        LogCapture log;
        QVERIFY(!scrobble(*service));
        QVERIFY(log.contains(u"Vesper: Last.fm session invalid — disconnecting"_s));
        QVERIFY(!service->isConnected());
        QVERIFY(!service->username());
        QVERIFY(!m_secrets.items.contains(kSessionAccount));
        QVERIFY(!m_defaults->contains(SettingsKeys::lastfmUsername));
        QCOMPARE(queue.entries().size(), 2);
        // Later calls go without a session key.
        QVERIFY(!scrobble(*service));
        QVERIFY(!m_fake->calls().last().params.contains(u"sk"_s));

        // The same user, in another letter case, signs in again: the queue is theirs.
        m_fake->user = u"Alice"_s;
        service->startAuth();
        QTRY_VERIFY(service->isConnected());
        QCOMPARE(queue.entries().size(), 2);
        QVERIFY(!m_defaults->contains(SettingsKeys::lastfmScrobbleQueueOwner));

        // Revoked again, and someone else signs in: the queue is set aside for Alice.
        m_fake->sessionKey = u"bobs-key"_s;
        QVERIFY(!scrobble(*service));
        m_fake->user = u"bob"_s;
        service->startAuth();
        QTRY_VERIFY(service->isConnected());
        QVERIFY(queue.entries().isEmpty());
        const QStringList aside
            = QDir(m_dir.path()).entryList({ u"lastfmScrobbleQueue.json.unsent-Alice-*"_s });
        QCOMPARE(aside.size(), 1);
        QFile file(m_dir.filePath(aside.first()));
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(ScrobbleQueue::decode(file.readAll()).value_or(QList<QueuedScrobble>()),
                 (QList<QueuedScrobble> { entry(1), entry(2) }));
        file.remove();
    }

    void staleInvalidSessionLeavesTheNewOneAlone()
    {
        auto service = signedIn();
        Response late = FakeLastFm::error(9, u"Invalid session key"_s, 403);
        late.delay = std::chrono::milliseconds(400);
        m_fake->script(u"track.scrobble"_s, late);
        auto call = service->request(u"track.scrobble"_s, {}, u"POST"_s);
        // The user disconnects and signs in again while the old call is out.
        service->disconnect();
        m_fake->sessionKey = u"second-session"_s;
        service->startAuth();
        QTRY_VERIFY(service->isConnected());
        LogCapture log;
        QVERIFY(!QCoro::waitFor(call));
        QCOMPARE(service->sessionKey(), u"second-session"_s);
        QCOMPARE(log.lines(),
                 QStringList { u"Vesper: Last.fm track.scrobble failed: 9 Invalid session key"_s });
    }

    void profileAndDisconnect()
    {
        m_fake->images = images({ u"https://a/0.png"_s });
        auto service = signedIn();
        QCOMPARE(service->avatarURL(), u"https://a/0.png"_s);
        m_fake->images = images({ QString(), QString() });
        QCoro::waitFor(service->fetchProfile());
        QVERIFY(!service->avatarURL());
        QVERIFY(!m_defaults->contains(SettingsKeys::lastfmAvatarURL));
        m_fake->images = images({ u"https://a/1.png"_s });
        QCoro::waitFor(service->fetchProfile());
        QCOMPARE(service->avatarURL(), u"https://a/1.png"_s);
        // An answer without an image list changes nothing.
        m_fake->script(u"user.getInfo"_s, Response::ok(R"({"user":{}})"));
        QCoro::waitFor(service->fetchProfile());
        QCOMPARE(service->avatarURL(), u"https://a/1.png"_s);

        // Disconnecting forgets the account and the scrobbles still waiting for it.
        QVERIFY(ScrobbleQueue(*m_defaults).store({ entry(1) }));
        service->disconnect();
        QVERIFY(!service->isConnected());
        QVERIFY(m_secrets.items.isEmpty());
        QVERIFY(!m_defaults->contains(SettingsKeys::lastfmUsername));
        QVERIFY(!m_defaults->contains(SettingsKeys::lastfmAvatarURL));
        QCOMPARE(m_defaults->dataValue(SettingsKeys::lastfmScrobbleQueue), QByteArray("[]"));
    }

    void legacySessionKeyMovesIntoTheSecretStore()
    {
        m_defaults->setValue(SettingsKeys::legacyLastfmSessionKey, u"legacy-key"_s);
        m_defaults->setValue(SettingsKeys::lastfmUsername, u"carol"_s);
        auto service = makeService();
        QCOMPARE(service->sessionKey(), u"legacy-key"_s);
        QCOMPARE(service->username(), u"carol"_s);
        QCOMPARE(m_secrets.items.value(kSessionAccount), u"legacy-key"_s);
        QVERIFY(!m_defaults->contains(SettingsKeys::legacyLastfmSessionKey));
        QVERIFY(!settingsFileContains(u"legacy-key"_s));
    }
};

QTEST_GUILESS_MAIN(TestLastFm)
#include "test_lastfm.moc"
