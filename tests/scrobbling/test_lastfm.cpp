#include "FakeLastFm.h"
#include "LogCapture.h"
#include "ServiceFixture.h"
#include "core/SettingsKeys.h"
#include "core/SettingsStore.h"
#include "scrobbling/LastFmService.h"
#include "scrobbling/ScrobbleQueue.h"
#include "settings/SecretStore.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QTest>

using namespace Qt::StringLiterals;
using Response = FakeHttpServer::Response;
using AuthState = LastFmService::AuthState;
using Entries = QList<QueuedScrobble>;

namespace {
const QString kSessionAccount = SecretStore::Account::lastfmSessionKey;
const Response kRevoked = FakeLastFm::error(9, u"Invalid session key"_s, 403);
const Entries kQueued { { u"A"_s, u"One"_s, {}, 200, 1 }, { u"A"_s, u"Two"_s, {}, 200, 2 } };

QJsonObject object(const char *json) { return QJsonDocument::fromJson(json).object(); }
} // namespace

class TestLastFm : public QObject
{
    Q_OBJECT

    std::unique_ptr<ServiceFixture> m_env;
    std::unique_ptr<FakeLastFm> m_fake;
    std::unique_ptr<ScrobbleQueue> m_queue;
    std::unique_ptr<LastFmService> m_service;
    QList<QUrl> m_opened;

    LastFmService &service()
    {
        if (!m_service) {
            m_service = std::make_unique<LastFmService>(
                m_env->settings(), m_env->secrets(), *m_queue, m_env->network(),
                [this](const QUrl &url) { m_opened.append(url); });
            m_service->setApprovalPollInterval(std::chrono::milliseconds(5));
        }
        return *m_service;
    }

    bool signIn()
    {
        service().startAuth();
        return QTest::qWaitFor(
            [this] { return service().isConnected() && service().authState() == AuthState::Idle; });
    }

    std::optional<QJsonObject> scrobble()
    {
        return QCoro::waitFor(service().request(u"track.scrobble"_s, {}, u"POST"_s));
    }

private Q_SLOTS:
    void init()
    {
        m_env = std::make_unique<ServiceFixture>();
        m_fake = std::make_unique<FakeLastFm>();
        m_env->setEndpoint("VESPER_LASTFM_API_URL", m_fake->url());
        m_env->setEndpoint("VESPER_LASTFM_AUTH_URL");
        m_queue = std::make_unique<ScrobbleQueue>(m_env->settings());
        m_opened.clear();
    }

    void cleanup()
    {
        QVERIFY(m_env->networkDrained());
        m_service.reset();
        m_queue.reset();
        m_fake.reset();
        m_env.reset();
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
        QCOMPARE(LastFm::signature(
                     { { u"track[1]"_s, u"Mötley Crüe"_s }, { u"track[10]"_s, u"t"_s } }, u"s"_s),
                 u"f76d50dc552e83303aebe7a92118806e"_s);
        QCOMPARE(LastFm::formEncode({ { u"a"_s, u"x&y=1+1"_s }, { u"b"_s, u"é"_s } }),
                 QByteArray("a=x%26y%3D1%2B1&b=%C3%A9"));

        QVERIFY(!LastFm::sessionFrom(object(R"({"session":{"name":"a","key":""}})")));
        // Anything but a scrobble answer says nothing was taken; without counts, the entries tell.
        QVERIFY(!LastFm::scrobbleCountsFrom(object(R"({"scrobbles":{}})")));
        QVERIFY(!LastFm::scrobbleCountsFrom(object(R"({"nowplaying":{}})")));
        const auto uncounted = LastFm::scrobbleCountsFrom(object(
            R"({"scrobbles":{"scrobble":[{"ignoredMessage":{"code":"3"}},{"ignoredMessage":{"code":"0"}}]}})"));
        QVERIFY(uncounted && uncounted->ignored == 1 && uncounted->accepted == 1);

        // The last non-empty image is the largest; no image list leaves the avatar alone. (moc
        // misreads
        // "#" in raw strings, hence the escapes.)
        const auto avatar
            = LastFm::avatarFrom(object("{\"user\":{\"image\":[{\"#text\":\"s.png\"},{\"#text\":"
                                        "\"xl.png\"},{\"#text\":\"\"}]}}"));
        QVERIFY(avatar.usable && avatar.url == u"xl.png"_s);
        QVERIFY(!LastFm::avatarFrom(object(R"({"user":{}})")).usable);

        QCOMPARE(LastFm::loggable(u"bad sk-1\nVesper: forged"_s, u"sk-1"_s),
                 u"bad <hidden> Vesper: forged"_s);
        QCOMPARE(LastFm::loggable(QString(1000, u'x')).size(), 301);
    }

    void readingAnswers()
    {
        // Body, HTTP status → the error code read (0: an answer; -2: no usable answer at all).
        const std::tuple<QByteArray, int, int> cases[] = { { "{}", 200, 0 },
                                                           { R"({"error":"11"})", 200, 11 },
                                                           { R"({"error":11})", 503, 11 },
                                                           { "[]", 200, -1 },
                                                           { "{}", 500, -1 },
                                                           { "<html>", 502, -2 } };
        for (const auto &[body, status, code] : cases) {
            const LastFm::Reply reply = LastFm::parseReply(body, status);
            QCOMPARE(reply.object.has_value(), code == 0);
            QCOMPARE(reply.apiError ? reply.apiError->code : (reply.object ? 0 : -2), code);
        }
    }

    void signInThroughTheBrowser()
    {
        m_fake->answerNext(u"auth.getSession"_s, FakeLastFm::error(14, u"Unauthorized Token"_s));
        m_fake->answer(u"user.getInfo"_s,
                       Response::ok("{\"user\":{\"image\":[{\"#text\":\"https://img/xl.png\"}]}}"));
        LogCapture log;
        service().startAuth();
        service().startAuth(); // the token is still on its way: not a second sign-in
        QTRY_COMPARE(service().authState(), AuthState::WaitingForApproval);
        service().startAuth();
        QCOMPARE(m_opened.size(), 1);
        QCOMPARE(m_opened.first().toString(),
                 u"http://127.0.0.1:9/api/auth/?api_key="_s + LastFmService::apiKey()
                     + u"&token=fake-token-1"_s);
        QTRY_COMPARE(service().avatarURL(), u"https://img/xl.png"_s);
        QCOMPARE(m_fake->calls(u"auth.getToken"_s).size(), 1);
        QCOMPARE(m_env->secretItems().items.value(kSessionAccount), FakeLastFm::sessionKey);
        QCOMPARE(m_env->settings().stringValue(SettingsKeys::lastfmUsername), u"alice"_s);

        // A sign-in cancelled while it waits stores nothing, even when approved meanwhile.
        service().disconnect();
        service().setApprovalPollInterval(std::chrono::milliseconds(100));
        service().startAuth();
        QTRY_COMPARE(service().authState(), AuthState::WaitingForApproval);
        service().cancelAuth();
        QTest::qWait(250); // two poll intervals: a poll that survived the cancel would have asked
        QVERIFY(!service().isConnected());
        QVERIFY(m_env->secretItems().items.isEmpty());

        // The session key is never logged nor kept in the settings file.
        QVERIFY(!log.lines().join(u'\n').contains(FakeLastFm::sessionKey));
        QVERIFY(!QJsonDocument(m_env->storedSettings())
                     .toJson()
                     .contains(FakeLastFm::sessionKey.toUtf8()));
    }

    void failuresNeverShowTheSessionKey()
    {
        QVERIFY(signIn());
        LogCapture log;
        // A message that echoes the key is shown without it.
        m_fake->answerNext(u"track.scrobble"_s,
                           FakeLastFm::error(6, u"Bad sk "_s + FakeLastFm::sessionKey));
        QVERIFY(!scrobble());
        // Qt's own error text would name the URL, whose query carries the session key.
        m_env->setEndpoint("VESPER_LASTFM_API_URL");
        LastFmService offline(m_env->settings(), m_env->secrets(), *m_queue, m_env->network(),
                              [](const QUrl &) {});
        QVERIFY(!QCoro::waitFor(offline.request(u"user.getInfo"_s, {}, u"GET"_s)));
        QCOMPARE(log.lines(),
                 (QStringList { u"Vesper: Last.fm track.scrobble failed: 6 Bad sk <hidden>"_s,
                                u"Vesper: Last.fm user.getInfo transport error: connection "
                                "refused"_s }));
        QVERIFY(service().isConnected());
    }

    // Error 9 signs out but keeps the queue for the user it belongs to, and only for them.
    void revokedSessionKeepsTheQueueForItsUser()
    {
        QVERIFY(signIn());
        QVERIFY(m_queue->store(kQueued));
        m_fake->answerNext(u"track.scrobble"_s, kRevoked);
        LogCapture log;
        QVERIFY(!scrobble());
        QVERIFY(log.contains(u"Vesper: Last.fm session invalid — disconnecting"_s));
        QVERIFY(m_env->secretItems().items.isEmpty());
        QCOMPARE(m_queue->entries(), kQueued);
        QCOMPARE(service().queueOwner(), u"alice"_s);

        // The same user, in another letter case, signs in again: the queue is theirs.
        m_fake->signInAs(u"Alice"_s);
        QVERIFY(signIn());
        QCOMPARE(m_queue->entries(), kQueued);
        QVERIFY(!service().queueOwner());

        // Revoked again, and someone else signs in: the queue is set aside for Alice.
        m_fake->answerNext(u"track.scrobble"_s, kRevoked);
        QVERIFY(!scrobble());
        m_fake->signInAs(u"bob"_s, u"bobs-key"_s);
        QVERIFY(signIn());
        QVERIFY(m_queue->entries().isEmpty());
        const QDir folder = QFileInfo(m_env->settingsPath()).dir();
        const QStringList aside
            = folder.entryList({ u"lastfmScrobbleQueue.json.unsent-Alice-*"_s });
        QCOMPARE(aside.size(), 1);
        QFile file(folder.filePath(aside.first()));
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(ScrobbleQueue::decode(file.readAll()).value_or(Entries()), kQueued);

        // Disconnecting forgets the account and the scrobbles still waiting for it.
        QVERIFY(m_queue->store(kQueued));
        service().disconnect();
        QVERIFY(m_env->secretItems().items.isEmpty());
        QVERIFY(!m_env->settings().contains(SettingsKeys::lastfmUsername));
        QVERIFY(m_queue->entries().isEmpty());
    }

    void lateInvalidSessionLeavesTheNewOneAlone()
    {
        QVERIFY(signIn());
        Response late = kRevoked;
        late.delay = std::chrono::milliseconds(300);
        m_fake->answerNext(u"track.scrobble"_s, late);
        auto call = service().request(u"track.scrobble"_s, {}, u"POST"_s);
        // The user disconnects and signs in again while the old call is out.
        service().disconnect();
        m_fake->signInAs(u"alice"_s, u"second-session"_s);
        QVERIFY(signIn());
        QVERIFY(!QCoro::waitFor(call));
        QCOMPARE(service().sessionKey(), u"second-session"_s);
    }

    void legacySessionKeyMovesIntoTheSecretStore()
    {
        m_env->settings().setValue(SettingsKeys::legacyLastfmSessionKey, u"legacy-key"_s);
        QCOMPARE(service().sessionKey(), u"legacy-key"_s);
        QCOMPARE(m_env->secretItems().items.value(kSessionAccount), u"legacy-key"_s);
        QVERIFY(!m_env->settings().contains(SettingsKeys::legacyLastfmSessionKey));
    }
};

QTEST_GUILESS_MAIN(TestLastFm)
#include "test_lastfm.moc"
