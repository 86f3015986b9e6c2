#include "FakeClock.h"
#include "FakeDesktopPlayers.h"
#include "FakeLastFm.h"
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

#include <QTest>

using namespace Qt::StringLiterals;
using Response = FakeHttpServer::Response;

// The manager in the real graph (aggregator, settings, Last.fm client, one queue) with fakes only
// at the edge: the desktop players, the secret store and Last.fm's web service.
class TestScrobbleManager : public QObject
{
    Q_OBJECT

    std::unique_ptr<ServiceFixture> m_env;
    std::unique_ptr<FakeLastFm> m_fake;
    FakeClock m_clock;
    LightDesktop m_desktop;
    std::unique_ptr<FakeDesktopPlayers> m_players;
    std::unique_ptr<ArtworkResolver> m_artwork;
    std::unique_ptr<NowPlayingAggregator> m_aggregator;
    std::unique_ptr<AppSettings> m_settings;
    std::unique_ptr<ScrobbleQueue> m_queue;
    std::unique_ptr<LastFmService> m_lastfm;
    std::unique_ptr<ScrobbleManager> m_manager;
    QDateTime m_firstTick;

    // A queue of `backlog` old plays, as an earlier run left it.
    void backlog(qint64 count)
    {
        QList<QueuedScrobble> entries;
        for (qint64 i = 0; i < count; ++i)
            entries.append({ u"Band"_s, u"Old %1"_s.arg(i), QString(), 200, 1700000000 + i });
        QVERIFY(m_queue->store(entries));
    }

    void start()
    {
        m_lastfm = std::make_unique<LastFmService>(m_env->settings(), m_env->secrets(), *m_queue,
                                                   m_env->network(), [](const QUrl &) {});
        m_lastfm->setApprovalPollInterval(std::chrono::milliseconds(5));
        m_manager = std::make_unique<ScrobbleManager>(*m_aggregator, *m_lastfm, *m_queue,
                                                      *m_settings, m_clock);
        // The test ticks by hand, so that each second is exact.
        m_manager->setAutomaticTicks(false);
    }

    void play(const QString &title)
    {
        m_players->post(DesktopPlayers::spotifyNotification(),
                        { { u"Player State"_s, u"Playing"_s },
                          { u"Name"_s, title },
                          { u"Artist"_s, u"Band"_s },
                          { u"Album"_s, u"Record"_s },
                          { u"Duration"_s, 40000.0 },
                          { u"Playback Position"_s, 0.0 } });
    }

    void tick(int count = 1)
    {
        for (int i = 0; i < count; ++i) {
            m_clock.advance(1);
            if (!m_firstTick.isValid())
                m_firstTick = m_clock.now();
            m_aggregator->tickProgress();
            m_manager->onTick();
            QCoreApplication::processEvents();
        }
    }

    qsizetype queued() { return m_queue->entries().size(); }

private Q_SLOTS:
    void init()
    {
        m_env = std::make_unique<ServiceFixture>();
        m_fake = std::make_unique<FakeLastFm>();
        m_env->setEndpoint("VESPER_LASTFM_API_URL", m_fake->url());
        m_env->setEndpoint("VESPER_ITUNES_URL"); // artwork searches fail at once
        m_env->secretItems().items.insert(SecretStore::Account::lastfmSessionKey,
                                          FakeLastFm::sessionKey);
        m_env->settings().setValue(SettingsKeys::lastfmUsername, u"alice"_s);
        m_players = std::make_unique<FakeDesktopPlayers>();
        m_artwork = std::make_unique<ArtworkResolver>(*m_players, m_env->network());
        m_aggregator = std::make_unique<NowPlayingAggregator>(*m_players, nullptr, *m_artwork,
                                                              m_env->settings(), m_clock);
        m_settings = std::make_unique<AppSettings>(m_env->settings(),
                                                   std::make_unique<NoLoginItem>(), m_desktop);
        m_queue = std::make_unique<ScrobbleQueue>(m_env->settings());
        m_firstTick = QDateTime();
    }

    void cleanup()
    {
        QVERIFY(m_env->networkDrained());
        m_manager.reset();
        m_lastfm.reset();
        m_queue.reset();
        m_settings.reset();
        m_aggregator.reset();
        m_artwork.reset();
        m_players.reset();
        m_fake.reset();
        m_env.reset();
    }

    // A play is announced, then scrobbled once, dated at its start. An answer that is not a
    // scrobble answer is no delivery: the play waits in the queue for the next flush.
    void aPlayIsAnnouncedThenScrobbledOnce()
    {
        start();
        m_fake->answerNext(u"track.scrobble"_s, Response::ok("{}"));
        play(u"Song"_s);
        tick();
        QTRY_COMPARE(m_fake->calls(u"track.updateNowPlaying"_s).size(), 1);
        QCOMPARE(m_fake->calls().last().params.value(u"duration"_s), u"40"_s);
        tick(19);
        LogCapture log;
        tick(); // 20 of 40 seconds heard
        QTRY_COMPARE(queued(), qsizetype(1));
        QCOMPARE(log.lines().mid(1),
                 (QStringList { u"Vesper: Last.fm track.scrobble failed: -1 malformed response"_s,
                                u"Vesper: Last.fm scrobble queued (1 pending)"_s }));
        // Stored at once, as a later start would read it.
        SettingsStore reread(m_env->settingsPath());
        QCOMPARE(ScrobbleQueue(reread).entries().size(), 1);

        // The periodic flush, 60 ticks after the first, delivers it; nothing is sent twice.
        log.clear();
        tick(40);
        QTRY_COMPARE(queued(), qsizetype(0));
        QVERIFY(m_env->networkDrained());
        QCOMPARE(log.lines(),
                 QStringList { u"Vesper: Last.fm flushed 1 queued scrobbles (0 left)"_s });
        QCOMPARE(m_fake->calls(u"track.scrobble"_s).size(), 2);
        QCOMPARE(m_fake->calls(u"track.updateNowPlaying"_s).size(), 1);
        QCOMPARE(m_fake->calls().last().params.value(u"timestamp[0]"_s),
                 QString::number(m_firstTick.toSecsSinceEpoch()));
    }

    void backlogGoesOutInBatchesOfFiftyOldestFirst()
    {
        backlog(120);
        m_fake->answerNext(u"track.scrobble"_s,
                           Response::ok(R"({"scrobbles":{"@attr":{"accepted":47,"ignored":3}}})"));
        m_fake->answerNext(u"track.scrobble"_s, FakeLastFm::error(16, u"Temporary error"_s, 500));
        start();
        LogCapture log;
        tick();
        QTRY_COMPARE(m_fake->calls(u"track.scrobble"_s).size(), 2);
        QTRY_VERIFY(!m_manager->isFlushing());
        // A failed batch stays at the front for the next flush.
        QCOMPARE(log.lines(),
                 (QStringList { u"[LastFm] Last.fm ignored 3 of 50 scrobbles"_s,
                                u"Vesper: Last.fm flushed 50 queued scrobbles (70 left)"_s,
                                u"Vesper: Last.fm track.scrobble failed: 16 Temporary error"_s }));
        QCOMPARE(m_queue->entries().first().track, u"Old 50"_s);

        tick(60);
        QTRY_COMPARE(queued(), qsizetype(0));
        const QList<FakeLastFm::Call> calls = m_fake->calls(u"track.scrobble"_s);
        QCOMPARE(calls.size(), 4);
        QVERIFY(calls.at(0).params.contains(u"artist[49]"_s)
                && !calls.at(0).params.contains(u"artist[50]"_s));
        QCOMPARE(calls.at(2).params.value(u"track[0]"_s), u"Old 50"_s);
        QCOMPARE(calls.at(3).params.value(u"track[19]"_s), u"Old 119"_s);
    }

    void revokedSessionsQueueGoesOutWhenItsUserReturns()
    {
        backlog(3);
        m_fake->answerNext(u"track.scrobble"_s,
                           FakeLastFm::error(9, u"Invalid session key"_s, 403));
        start();
        tick();
        QTRY_VERIFY(!m_lastfm->isConnected());
        tick(90);
        QCOMPARE(m_fake->calls(u"track.scrobble"_s).size(), 1);
        QCOMPARE(queued(), qsizetype(3));

        m_lastfm->startAuth();
        QTRY_VERIFY(m_lastfm->isConnected());
        tick();
        QTRY_COMPARE(queued(), qsizetype(0));
        QCOMPARE(m_fake->calls(u"track.scrobble"_s).size(), 2);
    }

    void scrobbleOfASignedOutAccountIsNotKept()
    {
        start();
        Response late = FakeLastFm::error(16, u"Temporary error"_s);
        late.delay = std::chrono::milliseconds(150);
        m_fake->answerNext(u"track.scrobble"_s, late);
        play(u"Song"_s);
        tick(21);
        QTRY_COMPARE(m_fake->calls(u"track.scrobble"_s).size(), 1);
        // The user signs out while the scrobble is out; the next account must not inherit it.
        m_lastfm->disconnect();
        LogCapture log;
        QTRY_VERIFY(
            log.contains(u"[LastFm] a scrobble of Song is not kept: its account was signed out"_s));
        QCOMPARE(queued(), qsizetype(0));
    }

    void ineligiblePlaysAreNotFollowed()
    {
        start();
        m_settings->setScrobbleSource(Source::Spotify, false);
        play(u"Song"_s);
        tick(30);
        QVERIFY(!m_manager->session());
        QVERIFY(m_env->networkDrained());
        QVERIFY(m_fake->calls(u"track.updateNowPlaying"_s).isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestScrobbleManager)
#include "test_scrobblemanager.moc"
