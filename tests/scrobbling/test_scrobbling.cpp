#include "FakeClock.h"
#include "FakeDesktopPlayers.h"
#include "FakeHttpServer.h"
#include "LogCapture.h"
#include "QuietDesktop.h"
#include "ServiceFixture.h"
#include "core/SettingsKeys.h"
#include "core/SettingsStore.h"
#include "nowplaying/ArtworkResolver.h"
#include "nowplaying/NowPlayingAggregator.h"
#include "scrobbling/LastFmService.h"
#include "scrobbling/ScrobbleManager.h"
#include "settings/AppSettings.h"
#include "settings/SecretStore.h"

#include <QDir>
#include <QJsonDocument>
#include <QTest>

using namespace Qt::StringLiterals;
using Response = FakeHttpServer::Response;
using AuthState = LastFmService::AuthState;
using Entries = QList<QueuedScrobble>;
using Params = QMap<QString, QString>;

namespace {
const QString kSessionAccount = SecretStore::Account::lastfmSessionKey;
const QString kSessionKey = u"fake-session-key-5ecret"_s;

Response error(int code, const QString &message, int status = 200)
{
    return Response::withStatus(
        status, uR"({"error":%1,"message":"%2"})"_s.arg(code).arg(message).toUtf8());
}
const Response kRevoked = error(9, u"Invalid session key"_s, 403);

Entries entries(qint64 from, qint64 count, const QString &track = u"Track %1"_s)
{
    Entries list;
    for (qint64 i = from; i < from + count; ++i)
        list.append({ u"Artist"_s, track.arg(i), QString(), 180, i });
    return list;
}
const Entries kQueued = entries(1, 2);

QJsonObject object(const char *json) { return QJsonDocument::fromJson(json).object(); }

// Last.fm answering canned routes: `next` one-off answers, then `answers`, then `fallback`.
struct FakeLastFm
{
    FakeHttpServer http;
    const Response fallback
        = Response::ok(R"({"token":"t-1","scrobbles":{"@attr":{"accepted":1,"ignored":0}}})");
    QMap<QString, Response> answers;
    QMap<QString, QList<Response>> next;
    QList<Params> sent;

    FakeLastFm()
    {
        for (const char *verb : { "GET", "POST" })
            http.route(verb, u"/2.0/"_s, [this](const FakeHttpServer::Request &request) {
                QByteArray form = request.method == "GET" ? request.rawQuery : request.body;
                Params params;
                for (const auto &[name, value] :
                     QUrlQuery(QString::fromLatin1(form.replace('+', ' ')))
                         .queryItems(QUrl::FullyDecoded))
                    params.insert(name, value);
                sent.append(params);
                QList<Response> &once = next[params.value(u"method"_s)];
                return once.isEmpty() ? answers.value(params.value(u"method"_s), fallback)
                                      : once.takeFirst();
            });
        signInAs(u"alice"_s);
    }
    void signInAs(const QString &user, const QString &key = kSessionKey)
    {
        answers[u"auth.getSession"_s]
            = Response::ok(uR"({"session":{"name":"%1","key":"%2"}})"_s.arg(user, key).toUtf8());
    }
    QList<Params> calls(const QString &method) const
    {
        QList<Params> matching = sent;
        matching.removeIf([&](const Params &call) { return call.value(u"method"_s) != method; });
        return matching;
    }
};

// The real graph with fakes only at the edge; members end in reverse order, users first.
struct Graph
{
    ServiceFixture env;
    FakeLastFm fake;
    FakeClock clock;
    LightDesktop desktop;
    FakeDesktopPlayers players;
    ArtworkResolver artwork { players, env.network() };
    NowPlayingAggregator aggregator { players, nullptr, artwork, env.settings(), clock };
    AppSettings settings { env.settings(), std::make_unique<NoLoginItem>(), desktop };
    ScrobbleQueue queue { env.settings() };
    std::unique_ptr<LastFmService> lastfm;
    std::unique_ptr<ScrobbleManager> manager;
};
} // namespace

class TestScrobbling : public QObject
{
    Q_OBJECT

    std::unique_ptr<Graph> g;
    QList<QUrl> m_opened;

    // The account, signed in as the fake's user when connected, and the manager over it.
    void start(bool connected = true)
    {
        if (connected) {
            g->env.secretItems().items.insert(kSessionAccount, kSessionKey);
            g->env.settings().setValue(SettingsKeys::lastfmUsername, u"alice"_s);
        }
        g->lastfm = std::make_unique<LastFmService>(
            g->env.settings(), g->env.secrets(), g->queue, g->env.network(),
            [this](const QUrl &url) { m_opened.append(url); });
        g->lastfm->setApprovalPollInterval(std::chrono::milliseconds(5));
        g->manager = std::make_unique<ScrobbleManager>(g->aggregator, *g->lastfm, g->queue,
                                                       g->settings, g->clock);
        // The test ticks by hand, so that each second is exact.
        g->manager->setAutomaticTicks(false);
    }

    void play(const QString &title)
    {
        g->players.announce(u"com.spotify.client"_s,
                            { PlaybackState::Playing, title, u"Band"_s, u"Record"_s, 40, 0 });
    }

    void tick(int count = 1)
    {
        for (int i = 0; i < count; ++i) {
            g->clock.advance(1);
            g->aggregator.tickProgress();
            g->manager->onTick();
            QCoreApplication::processEvents();
        }
    }

    bool signIn()
    {
        g->lastfm->startAuth();
        return QTest::qWaitFor([this] {
            return g->lastfm->isConnected() && g->lastfm->authState() == AuthState::Idle;
        });
    }

private Q_SLOTS:
    void init()
    {
        g = std::make_unique<Graph>();
        g->env.setEndpoint("VESPER_LASTFM_API_URL", g->fake.http.url());
        g->env.setEndpoint("VESPER_LASTFM_AUTH_URL");
        g->env.setEndpoint("VESPER_ITUNES_URL"); // artwork searches fail at once
        m_opened.clear();
    }

    void cleanup() { QVERIFY(g->env.networkDrained()); }

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
        QVERIFY(!LastFm::scrobbleCountsFrom(
            object(R"({"scrobbles":{"se":{},"@attr":{"accepted":-1,"ignored":0}}})")));
        const auto uncounted = LastFm::scrobbleCountsFrom(object(
            R"({"scrobbles":{"scrobble":[{"ignoredMessage":{"code":"3"}},{"ignoredMessage":{"code":"0"}}]}})"));
        QVERIFY(uncounted && uncounted->ignored == 1 && uncounted->accepted == 1);
        QVERIFY(!LastFm::avatarFrom(object(R"({"user":{}})")).usable);

        QCOMPARE(LastFm::loggable(u"bad sk-1\nVesper: forged"_s, u"sk-1"_s),
                 u"bad <hidden> Vesper: forged"_s);
        QCOMPARE(LastFm::loggable(QString(1000, u'x')).size(), 301);

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
        start(false);
        g->fake.next[u"auth.getSession"_s] << error(14, u"Unauthorized Token"_s);
        g->fake.answers[u"user.getInfo"_s]
            = Response::ok("{\"user\":{\"image\":[{\"#text\":\"s.png\"},{\"#text\":"
                           "\"https://img/xl.png\"},{\"#text\":\"\"}]}}"); // the last non-empty
        LogCapture log;
        g->lastfm->startAuth();
        g->lastfm->startAuth(); // the token is still on its way: not a second sign-in
        QTRY_COMPARE(g->lastfm->authState(), AuthState::WaitingForApproval);
        g->lastfm->startAuth();
        QCOMPARE(m_opened.size(), 1);
        QCOMPARE(g->fake.calls(u"auth.getToken"_s).size(), 1);
        QCOMPARE(m_opened.first().toString(),
                 u"http://127.0.0.1:9/api/auth/?api_key="_s + LastFmService::apiKey()
                     + u"&token=t-1"_s);
        QTRY_COMPARE(g->lastfm->avatarURL(), u"https://img/xl.png"_s);
        QCOMPARE(g->env.secretItems().items.value(kSessionAccount), kSessionKey);
        QCOMPARE(g->env.settings().stringValue(SettingsKeys::lastfmUsername), u"alice"_s);

        // Failures never show the session key: a message that echoes it is shown without it, and
        // Qt's own error text would name the URL, whose query carries it.
        g->fake.next[u"track.scrobble"_s] << error(6, u"Bad sk "_s + kSessionKey);
        QVERIFY(!QCoro::waitFor(g->lastfm->request(u"track.scrobble"_s, {}, u"POST"_s)));
        g->env.setEndpoint("VESPER_LASTFM_API_URL");
        LastFmService offline(g->env.settings(), g->env.secrets(), g->queue, g->env.network(),
                              [](const QUrl &) {});
        QVERIFY(!QCoro::waitFor(offline.request(u"user.getInfo"_s, {}, u"GET"_s)));
        QVERIFY(log.contains(u"Vesper: Last.fm track.scrobble failed: 6 Bad sk <hidden>"_s));
        QVERIFY(!log.lines().join(u'\n').contains(kSessionKey) && g->lastfm->isConnected());
        QVERIFY(!QJsonDocument(g->env.storedSettings()).toJson().contains(kSessionKey.toUtf8()));
    }

    // Error 9 signs out but keeps the queue for the user it belongs to, and only for them.
    void revokedSessionKeepsTheQueueForItsUser()
    {
        start(false);
        QVERIFY(signIn() && g->queue.store(kQueued));
        g->fake.next[u"track.scrobble"_s] << kRevoked;
        tick(); // a first tick flushes the queue
        QTRY_VERIFY(!g->lastfm->isConnected() && g->env.secretItems().items.isEmpty());
        QCOMPARE(g->lastfm->queueOwner(), u"alice"_s);
        QCOMPARE(g->queue.entries(), kQueued);

        // The same user, in another letter case, signs in again: the queue goes out for them.
        g->fake.signInAs(u"Alice"_s);
        QVERIFY(signIn() && !g->lastfm->queueOwner());
        tick();
        QTRY_VERIFY(g->queue.entries().isEmpty());
        QCOMPARE(g->fake.calls(u"track.scrobble"_s).size(), 2);

        // Revoked again with plays waiting, and someone else signs in: they are set aside.
        QVERIFY(g->queue.store(kQueued));
        g->fake.next[u"track.scrobble"_s] << kRevoked;
        QVERIFY(!QCoro::waitFor(g->lastfm->request(u"track.scrobble"_s, {}, u"POST"_s)));
        g->fake.signInAs(u"bob"_s, u"bobs-key"_s);
        QVERIFY(signIn() && g->queue.entries().isEmpty());
        const QDir folder = QFileInfo(g->env.settingsPath()).dir();
        QCOMPARE(folder.entryList({ u"lastfmScrobbleQueue.json.unsent-Alice-*"_s }).size(), 1);

        // Disconnecting forgets the account and the scrobbles still waiting for it.
        QVERIFY(g->queue.store(kQueued));
        g->lastfm->disconnect();
        QVERIFY(g->env.secretItems().items.isEmpty() && g->queue.entries().isEmpty());
        QVERIFY(!g->env.settings().contains(SettingsKeys::lastfmUsername));
    }

    void lateInvalidSessionLeavesTheNewOneAlone()
    {
        start();
        Response late = kRevoked;
        late.delay = std::chrono::milliseconds(300);
        g->fake.next[u"track.scrobble"_s] << late;
        auto call = g->lastfm->request(u"track.scrobble"_s, {}, u"POST"_s);
        // The user disconnects and signs in again while the old call is out.
        g->lastfm->disconnect();
        g->fake.signInAs(u"alice"_s, u"second-session"_s);
        QVERIFY(signIn() && !QCoro::waitFor(call));
        QCOMPARE(g->lastfm->sessionKey(), u"second-session"_s);
    }

    // The offline queue, stored on every change in the format a later start reads.
    void storedOnEveryChange()
    {
        const QueuedScrobble played { u"Sigur Rós"_s, u"Hoppípolla"_s, u"Takk…"_s, 268,
                                      1700000000 };
        QCOMPARE(g->queue.append(played).value_or(-1), qsizetype(1));
        QCOMPARE(SettingsStore(g->env.settingsPath()).dataValue(SettingsKeys::lastfmScrobbleQueue),
                 QByteArray(R"([{"album":"Takk…","artist":"Sigur Rós","duration":268,)"
                            R"("timestamp":1700000000,"track":"Hoppípolla"}])"));
        QVERIFY(!ScrobbleQueue::decode(R"([{"artist":"a","track":"t","album":"","duration":0}])"));

        // A damaged queue is set aside, never overwritten.
        const QByteArray stored = "[{\"artist\":\"A\",";
        QVERIFY(g->env.settings().setValue(SettingsKeys::lastfmScrobbleQueue, stored));
        QCOMPARE(g->queue.append(entries(1, 1).first()).value_or(-1), qsizetype(1));
        const QDir folder = QFileInfo(g->env.settingsPath()).dir();
        const QStringList aside = folder.entryList({ u"lastfmScrobbleQueue.json.damaged-*"_s });
        QCOMPARE(aside.size(), 1);
        QFile file(folder.filePath(aside.first()));
        QVERIFY(file.open(QIODevice::ReadOnly) && file.readAll() == stored);

        // Settings whose folder is a plain file: the copy cannot be made, so nothing is replaced.
        SettingsStore stuck(file.fileName() + u"/defaults.json"_s);
        QVERIFY(stuck.setValue(SettingsKeys::lastfmScrobbleQueue, stored));
        QVERIFY(!ScrobbleQueue(stuck).append(entries(1, 1).first()));
        QCOMPARE(stuck.dataValue(SettingsKeys::lastfmScrobbleQueue), stored);
    }

    void deliveredBatchLeavesTheFront()
    {
        const Entries batch = entries(0, 20);
        // Sent and untouched; a scrobble queued while the batch was out stays.
        QCOMPARE(ScrobbleQueue::deliveredPrefix(entries(0, 21), batch), qsizetype(20));
        // The cap pushed the batch's first entry out meanwhile: only its rest leaves.
        QCOMPARE(ScrobbleQueue::deliveredPrefix(entries(1, 30), batch), qsizetype(19));
        // The queue was emptied or replaced meanwhile: nothing of it leaves.
        QCOMPARE(ScrobbleQueue::deliveredPrefix({}, batch), qsizetype(0));
        QCOMPARE(ScrobbleQueue::deliveredPrefix(entries(100, 5), batch), qsizetype(0));

        // The newest five hundred are kept.
        QVERIFY(g->queue.store(entries(0, 500)));
        QCOMPARE(g->queue.append(entries(500, 1).first()).value_or(-1), qsizetype(500));
        QCOMPARE(g->queue.entries(), entries(1, 500));
    }

    // A play is announced, then scrobbled once, dated at its start. An answer that is not a
    // scrobble answer is no delivery: the play waits in the queue for the next flush.
    void aPlayIsAnnouncedThenScrobbledOnce()
    {
        start();
        g->fake.next[u"track.scrobble"_s] << Response::ok("{}");
        play(u"Song"_s);
        tick();
        const QString started = QString::number(g->clock.now().toSecsSinceEpoch());
        QTRY_COMPARE(g->fake.calls(u"track.updateNowPlaying"_s).size(), 1);
        tick(20); // 20 of 40 seconds heard
        QTRY_COMPARE(g->queue.entries().size(), 1);

        // The periodic flush, 60 ticks after the first, delivers it; nothing is sent twice.
        tick(40);
        QTRY_COMPARE(g->queue.entries().size(), 0);
        QVERIFY(g->env.networkDrained());
        const QList<Params> scrobbles = g->fake.calls(u"track.scrobble"_s);
        QCOMPARE(scrobbles.size(), 2);
        QCOMPARE(scrobbles.last().value(u"timestamp[0]"_s), started);
        QCOMPARE(g->fake.calls(u"track.updateNowPlaying"_s).size(), 1);
    }

    // Fifty at a time, oldest first; a failed batch stays at the front for the next flush.
    void backlogGoesOutInBatchesOfFiftyOldestFirst()
    {
        QVERIFY(g->queue.store(entries(0, 120, u"Old %1"_s)));
        g->fake.next[u"track.scrobble"_s]
            << Response::ok(R"({"scrobbles":{"@attr":{"accepted":47,"ignored":3}}})")
            << error(16, u"Temporary error"_s, 500);
        start();
        tick();
        QTRY_COMPARE(g->fake.calls(u"track.scrobble"_s).size(), 2);
        QTRY_VERIFY(!g->manager->isFlushing());
        QCOMPARE(g->queue.entries(), entries(50, 70, u"Old %1"_s));

        tick(60);
        QTRY_COMPARE(g->queue.entries().size(), 0);
        const QList<Params> calls = g->fake.calls(u"track.scrobble"_s);
        QCOMPARE(calls.size(), 4);
        QVERIFY(calls.at(0).contains(u"artist[49]"_s) && !calls.at(0).contains(u"artist[50]"_s));
        QCOMPARE(calls.at(2).value(u"track[0]"_s), u"Old 50"_s);
        QCOMPARE(calls.at(3).value(u"track[19]"_s), u"Old 119"_s);
    }

    // A source the user switched off is not followed at all, and a scrobble still out when the
    // user signs out is not kept for the next account.
    void switchedOffSourcesAndSignedOutAccountsGetNothing()
    {
        start();
        g->settings.setScrobbleSource(Source::Spotify, false);
        play(u"Song"_s);
        tick(30);
        QVERIFY(!g->manager->session() && g->env.networkDrained() && g->fake.sent.isEmpty());

        g->settings.setScrobbleSource(Source::Spotify, true);
        Response late = error(16, u"Temporary error"_s);
        late.delay = std::chrono::milliseconds(150);
        g->fake.next[u"track.scrobble"_s] << late;
        play(u"Other"_s);
        tick(21);
        QTRY_COMPARE(g->fake.calls(u"track.scrobble"_s).size(), 1);
        g->lastfm->disconnect();
        QVERIFY(g->env.networkDrained() && g->queue.entries().isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestScrobbling)
#include "test_scrobbling.moc"
