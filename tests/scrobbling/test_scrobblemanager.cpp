#include "FakeClock.h"
#include "FakeDesktopPlayers.h"
#include "FakeLastFm.h"
#include "LogCapture.h"
#include "MemorySecretBackend.h"
#include "QuietDesktop.h"
#include "core/SettingsKeys.h"
#include "core/SettingsStore.h"
#include "nowplaying/ArtworkResolver.h"
#include "nowplaying/NowPlayingAggregator.h"
#include "scrobbling/LastFmService.h"
#include "scrobbling/ScrobbleManager.h"
#include "settings/AppSettings.h"
#include "settings/SecretStore.h"

#include <QNetworkAccessManager>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;

namespace {
const QString kApiKey = QStringLiteral(VESPER_TEST_LASTFM_API_KEY);
const QString kSecret = QStringLiteral(VESPER_TEST_LASTFM_SHARED_SECRET);
} // namespace

Q_DECLARE_METATYPE(FakeHttpServer::Response)

// The manager in the real graph (aggregator, settings, Last.fm client) with fakes only at the
// edge: the desktop players, the secret store and Last.fm's web service.
class TestScrobbleManager : public QObject
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_dir;
    SecretItems m_secrets;
    FakeClock m_clock;
    std::unique_ptr<FakeLastFm> m_fake;
    std::unique_ptr<SettingsStore> m_defaults;
    std::unique_ptr<QNetworkAccessManager> m_network;
    std::unique_ptr<FakeDesktopPlayers> m_players;
    std::unique_ptr<ArtworkResolver> m_artwork;
    std::unique_ptr<NowPlayingAggregator> m_aggregator;
    LightDesktop m_desktop;
    std::unique_ptr<AppSettings> m_settings;
    std::unique_ptr<LastFmService> m_lastfm;
    std::unique_ptr<ScrobbleManager> m_manager;
    QDateTime m_firstTick;

    // The settings as an earlier run left them: a queue of `backlog` old plays.
    void settings(qint64 backlog)
    {
        m_defaults = std::make_unique<SettingsStore>(m_dir->filePath(u"defaults.json"_s));
        QList<QueuedScrobble> entries;
        for (qint64 i = 0; i < backlog; ++i)
            entries.append({ u"Band"_s, u"Old %1"_s.arg(i), QString(), 200, 1700000000 + i });
        QVERIFY(ScrobbleQueue(*m_defaults).store(entries));
    }

    void start()
    {
        if (!m_defaults)
            m_defaults = std::make_unique<SettingsStore>(m_dir->filePath(u"defaults.json"_s));
        m_aggregator = std::make_unique<NowPlayingAggregator>(*m_players, nullptr, *m_artwork,
                                                              *m_defaults, m_clock);
        m_settings = std::make_unique<AppSettings>(*m_defaults, std::make_unique<NoLoginItem>(),
                                                   m_desktop);
        m_lastfm = std::make_unique<LastFmService>(*m_defaults, *m_network, [](const QUrl &) {});
        m_lastfm->setRequestTimeout(std::chrono::milliseconds(300));
        m_manager = std::make_unique<ScrobbleManager>(*m_aggregator, *m_lastfm, *m_settings,
                                                      *m_defaults, m_clock);
        // The test ticks by hand, so that each second is exact.
        m_manager->setAutomaticTicks(false);
    }

    void stop()
    {
        m_manager.reset();
        m_lastfm.reset();
        m_settings.reset();
        m_aggregator.reset();
    }

    void play(const QString &title, double seconds = 40)
    {
        m_players->announce(u"com.spotify.client"_s,
                            { PlaybackState::Playing, title, u"Band"_s, u"Record"_s, seconds, 0 });
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

    qsizetype queued() { return m_manager->queue().entries().size(); }

private Q_SLOTS:
    void init()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        m_fake = std::make_unique<FakeLastFm>(kApiKey, kSecret);
        qputenv("VESPER_LASTFM_API_URL", m_fake->url().toEncoded());
        // Artwork searches find nothing there.
        qputenv("VESPER_ITUNES_URL", m_fake->url().toEncoded());
        m_secrets = {};
        m_secrets.items.insert(SecretStore::Account::lastfmSessionKey, m_fake->sessionKey);
        SecretStore::setBackend(std::make_unique<MemorySecretBackend>(m_secrets));
        m_network = std::make_unique<QNetworkAccessManager>();
        m_players = std::make_unique<FakeDesktopPlayers>();
        m_artwork = std::make_unique<ArtworkResolver>(*m_players, *m_network);
        m_firstTick = QDateTime();
        m_defaults.reset();
    }

    void cleanup()
    {
        // Let calls still out finish before their owners go.
        QTest::qWait(50);
        stop();
        QCOMPARE(m_fake->rejectedSignatures(), 0);
    }

    void aPlayIsAnnouncedThenScrobbledOnce()
    {
        start();
        play(u"Song"_s);
        tick();
        QTRY_COMPARE(m_fake->calls(u"track.updateNowPlaying"_s).size(), 1);
        const FakeLastFm::Call notice = m_fake->calls(u"track.updateNowPlaying"_s).first();
        QCOMPARE(notice.httpMethod, QByteArray("POST"));
        QCOMPARE(notice.params.value(u"artist"_s), u"Band"_s);
        QCOMPARE(notice.params.value(u"track"_s), u"Song"_s);
        QCOMPARE(notice.params.value(u"album"_s), u"Record"_s);
        QCOMPARE(notice.params.value(u"duration"_s), u"40"_s);

        tick(19); // 19 seconds heard
        QVERIFY(m_fake->scrobbles().isEmpty());
        tick(); // 20 of 40
        QTRY_COMPARE(m_fake->scrobbles().size(), 1);
        const FakeLastFm::Scrobble scrobble = m_fake->scrobbles().first();
        QCOMPARE(scrobble.album, u"Record"_s);
        QCOMPARE(scrobble.duration, qint64(40));
        QCOMPARE(scrobble.timestamp, m_firstTick.toSecsSinceEpoch());

        tick(30);
        QTest::qWait(50);
        // Once each per play.
        QCOMPARE(m_fake->calls(u"track.scrobble"_s).size(), 1);
        QCOMPARE(m_fake->calls(u"track.updateNowPlaying"_s).size(), 1);
        QCOMPARE(queued(), qsizetype(0));
    }

    void undeliveredScrobbleWaitsForTheNextFlush_data()
    {
        QTest::addColumn<FakeHttpServer::Response>("failure");
        QTest::addColumn<QString>("line");
        QTest::newRow("service offline")
            << FakeLastFm::error(11, u"Service Offline"_s, 503)
            << u"Vesper: Last.fm track.scrobble failed: 11 Service Offline"_s;
        QTest::newRow("answer without a scrobbles record")
            << FakeHttpServer::Response::ok("{}")
            << u"Vesper: Last.fm track.scrobble failed: -1 malformed response"_s;
    }

    void undeliveredScrobbleWaitsForTheNextFlush()
    {
        QFETCH(FakeHttpServer::Response, failure);
        QFETCH(QString, line);
        start();
        m_fake->script(u"track.scrobble"_s, failure);
        play(u"Song"_s);
        tick(20);
        LogCapture log;
        tick();
        QTRY_COMPARE_WITH_TIMEOUT(queued(), qsizetype(1), 3000);
        QCOMPARE(log.lines().mid(1),
                 (QStringList { line, u"Vesper: Last.fm scrobble queued (1 pending)"_s }));
        QVERIFY(m_fake->scrobbles().isEmpty());
        // Stored at once, as a later start would read it.
        SettingsStore reread(m_defaults->filePath());
        QCOMPARE(ScrobbleQueue(reread).entries().first().timestamp, m_firstTick.toSecsSinceEpoch());

        // The periodic flush, 60 ticks after the first, delivers it.
        log.clear();
        tick(39);
        QTest::qWait(20);
        QCOMPARE(queued(), qsizetype(1));
        tick();
        QTRY_COMPARE(queued(), qsizetype(0));
        QCOMPARE(log.lines(),
                 QStringList { u"Vesper: Last.fm flushed 1 queued scrobbles (0 left)"_s });
        QCOMPARE(m_fake->scrobbles().size(), 1);
        QCOMPARE(m_fake->scrobbles().first().timestamp, m_firstTick.toSecsSinceEpoch());
        QCOMPARE(m_defaults->dataValue(SettingsKeys::lastfmScrobbleQueue), QByteArray("[]"));
    }

    void backlogGoesOutInBatchesOfFiftyOldestFirst()
    {
        settings(120);
        m_fake->countsAsStrings = true;
        m_fake->ignoreBefore = 1700000003; // the service drops the three oldest
        m_fake->script(u"track.scrobble"_s, FakeLastFm::error(16, u"Temporary error"_s, 500), 1, 1);
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
        QCOMPARE(m_manager->queue().entries().first().track, u"Old 50"_s);
        QCOMPARE(queued(), qsizetype(70));

        log.clear();
        tick(60);
        QTRY_COMPARE(queued(), qsizetype(0));
        QCOMPARE(log.lines(),
                 (QStringList { u"Vesper: Last.fm flushed 50 queued scrobbles (20 left)"_s,
                                u"Vesper: Last.fm flushed 20 queued scrobbles (0 left)"_s }));
        const QList<FakeLastFm::Call> calls = m_fake->calls(u"track.scrobble"_s);
        QCOMPARE(calls.size(), 4);
        QVERIFY(calls.at(0).params.contains(u"artist[49]"_s));
        QVERIFY(!calls.at(0).params.contains(u"artist[50]"_s));
        QCOMPARE(calls.at(2).params.value(u"track[0]"_s), u"Old 50"_s);
        QVERIFY(!calls.at(3).params.contains(u"artist[20]"_s));
        // Each once, in order.
        const QList<FakeLastFm::Scrobble> delivered = m_fake->scrobbles();
        QCOMPARE(delivered.size(), 117);
        for (qsizetype i = 0; i < delivered.size(); ++i)
            QCOMPARE(delivered.at(i).timestamp, 1700000003 + i);
        QVERIFY(delivered.first().album.isEmpty());
    }

    void revokedSessionStopsScrobblingButKeepsTheQueue()
    {
        settings(3);
        m_defaults->setValue(SettingsKeys::lastfmUsername, u"alice"_s);
        const QString revoked = m_fake->sessionKey;
        m_fake->sessionKey = u"issued-elsewhere"_s;
        start();
        LogCapture log;
        play(u"Song"_s);
        tick();
        QTRY_VERIFY(!m_lastfm->isConnected());
        QVERIFY(log.contains(u"Vesper: Last.fm session invalid — disconnecting"_s));
        QCOMPARE(queued(), qsizetype(3));
        QCOMPARE(m_defaults->stringValue(SettingsKeys::lastfmScrobbleQueueOwner), u"alice"_s);

        const qsizetype calls = m_fake->calls().size();
        tick(90);
        QTest::qWait(20);
        QCOMPARE(m_fake->calls().size(), calls);
        for (const QString &line : log.lines())
            QVERIFY(!line.contains(revoked));
    }

    void scrobbleOfASignedOutAccountIsNotKept()
    {
        start();
        FakeHttpServer::Response late = FakeLastFm::error(16, u"Temporary error"_s);
        late.delay = std::chrono::milliseconds(150);
        m_fake->script(u"track.scrobble"_s, late);
        play(u"Song"_s);
        tick(21);
        QTRY_COMPARE(m_fake->calls(u"track.scrobble"_s).size(), 1);
        // The user signs out while the scrobble is out; the next account must not inherit it.
        m_lastfm->disconnect();
        LogCapture log;
        QTRY_VERIFY(log.contains(u"[LastFm] a scrobble of Song is not kept: its account was signed "
                                 "out"_s));
        QCOMPARE(queued(), qsizetype(0));
    }

    void ineligiblePlaysAreNotFollowed()
    {
        start();
        m_settings->setScrobbleSource(Source::Spotify, false);
        play(u"Song"_s);
        tick(30);
        QVERIFY(!m_manager->session());
        QTest::qWait(20);
        QVERIFY(m_fake->calls().isEmpty());

        // Without an account nothing is sent, not even the queue.
        stop();
        m_secrets.items.clear();
        settings(2);
        start();
        QVERIFY(!m_lastfm->isConnected());
        play(u"Song"_s);
        tick(30);
        QTest::qWait(20);
        QVERIFY(m_fake->calls().isEmpty());
        QVERIFY(!m_manager->session());
        QCOMPARE(queued(), qsizetype(2));
    }
};

QTEST_GUILESS_MAIN(TestScrobbleManager)
#include "test_scrobblemanager.moc"
