#include "FakeClock.h"
#include "FakeDesktopPlayers.h"
#include "FakeHttpServer.h"
#include "FakeWebBridge.h"
#include "LogCapture.h"
#include "core/SettingsKeys.h"
#include "core/SettingsStore.h"
#include "nowplaying/ArtworkResolver.h"
#include "nowplaying/NowPlayingAggregator.h"

#include <QBuffer>
#include <QLoggingCategory>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QThreadPool>

using namespace Qt::StringLiterals;

namespace {
const QString kSpotify = u"com.spotify.client"_s;
const QString kYtMusic = u"com.vesper.web.ytmusic"_s;

WebPlayerState webState(const QString &source, const QString &title, bool playing,
                        double position = 0)
{
    WebPlayerState state;
    state.source = source;
    state.title = title;
    state.isPlaying = playing;
    state.duration = 300;
    state.position = position;
    state.capabilities = SourceCapability::Next | SourceCapability::Seek;
    return state;
}
} // namespace

class TestNowPlayingAggregator : public QObject
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<SettingsStore> m_defaults;
    std::unique_ptr<FakeDesktopPlayers> m_players;
    std::unique_ptr<FakeHttpServer> m_itunes;
    std::unique_ptr<QNetworkAccessManager> m_network;
    std::unique_ptr<ArtworkResolver> m_artwork;
    std::unique_ptr<NowPlayingAggregator> m_aggregator;
    FakeWebBridge m_bridge;
    FakeClock m_clock;

    // A new aggregator over the same settings file, as after a restart, after its first poll.
    NowPlayingAggregator &start()
    {
        m_aggregator.reset();
        m_defaults = std::make_unique<SettingsStore>(m_dir->filePath(u"defaults.json"_s));
        m_aggregator = std::make_unique<NowPlayingAggregator>(*m_players, &m_bridge, *m_artwork,
                                                              *m_defaults, m_clock);
        QCoreApplication::processEvents();
        return *m_aggregator;
    }
    const NowPlayingInfo &now() const { return m_aggregator->nowPlaying(); }
    // The fake players answer at once, so a poll is over when this returns.
    void poll() { m_aggregator->slowRefresh(); }
    void announce(PlaybackState state, const QString &title, double duration = 215,
                  double position = 0)
    {
        m_players->announce(kSpotify,
                            { state, title, u"Artist"_s, u"Album"_s, duration, position });
    }

private Q_SLOTS:
    void init()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        m_players = std::make_unique<FakeDesktopPlayers>();
        m_itunes = std::make_unique<FakeHttpServer>();
        qputenv("VESPER_ITUNES_URL", m_itunes->url().toEncoded());
        m_network = std::make_unique<QNetworkAccessManager>();
        m_artwork = std::make_unique<ArtworkResolver>(*m_players, *m_network);
        m_bridge = FakeWebBridge();
    }
    // Lookups still in flight would never resume once their network is gone. The aggregator
    // goes first, so that no lookup it has queued starts after the wait.
    void cleanup()
    {
        m_aggregator.reset();
        QTRY_VERIFY_WITH_TIMEOUT(m_network->findChildren<QNetworkReply *>().isEmpty(), 5000);
        QThreadPool::globalInstance()->waitForDone();
        QCoreApplication::processEvents();
    }

    void readingsDriveTheDisplay()
    {
        start();
        announce(PlaybackState::Paused, u"Song"_s, 215, 30);
        QCOMPARE(now().title, u"Song"_s);
        QVERIFY(!now().isPlaying);
        QCOMPARE(now().capabilities, allSourceCapabilities);
        announce(PlaybackState::Stopped, u"Song"_s);
        QVERIFY(now().title.isEmpty());
        announce(PlaybackState::Playing, u"Song"_s);
        QVERIFY(m_aggregator->isProgressRunning());
        announce(PlaybackState::Playing, QString());
        QVERIFY(now().title.isEmpty());
        QVERIFY(!m_aggregator->isProgressRunning());

        // Another source's clear does not touch what is shown.
        m_aggregator->onWebState(webState(u"soundcloud"_s, u"Web"_s, true));
        announce(PlaybackState::Stopped, QString());
        QCOMPARE(now().title, u"Web"_s);
    }

    void positionIsInterpolatedOnlyWhilePlaying()
    {
        NowPlayingAggregator &aggregator = start();
        const auto tick = [&](double seconds) {
            m_clock.advance(seconds);
            aggregator.tickProgress();
            return now().elapsedTime;
        };
        announce(PlaybackState::Playing, u"Song"_s, 10, 4);
        QVERIFY(aggregator.isProgressRunning());
        QCOMPARE(tick(0.5), 4.5);
        // Same track and play state: the reported position does not move the anchor.
        announce(PlaybackState::Playing, u"Song"_s, 10, 1);
        QCOMPARE(tick(0.5), 5.0);
        QCOMPARE(tick(60), 10.0);
        // Pausing re-anchors and stops the ticker, and shows where the track stands at once.
        announce(PlaybackState::Paused, u"Song"_s, 10, 7);
        QVERIFY(!aggregator.isProgressRunning());
        QCOMPARE(now().elapsedTime, 7.0);
        // So does another track that arrives paused, rather than the last track's time.
        announce(PlaybackState::Paused, u"Other"_s, 10, 3);
        QCOMPARE(now().elapsedTime, 3.0);
    }

    void pollReadsRunningPlayers()
    {
        m_players->states.insert(kSpotify,
                                 { true, u"Spot"_s, u"A"_s, u"B"_s, 200, 10, true, 2, true });
        start();
        QVERIFY(now().title.isEmpty());
        QVERIFY(m_players->permissionRequests.isEmpty());
        m_players->setRunning({ kSpotify });
        poll();
        QCOMPARE(now().title, u"Spot"_s);
        QCOMPARE(now().shuffle, true);
        QCOMPARE(now().repeatMode, 2);
        // Shuffle and repeat are the poll's: an announced reading leaves them.
        announce(PlaybackState::Playing, u"Spot"_s);
        QCOMPARE(now().shuffle, true);

        // A paused desktop player does not compete with a playing web player.
        m_players->states[kSpotify].isPlaying = false;
        m_bridge.last = webState(u"ytmusic"_s, u"Web Song"_s, true);
        m_aggregator->onWebState(m_bridge.last);
        poll();
        QCOMPARE(now().title, u"Web Song"_s);
        m_players->states[kSpotify].isPlaying = true;
        poll();
        QCOMPARE(now().title, u"Spot"_s);
        QCOMPARE(m_players->permissionRequests, QStringList { kSpotify });
    }

    void refusedPermissionIsReportedOnce()
    {
        m_players->permission = PlayerAuthStatus::Denied;
        QSignalSpy denied(&start(), &NowPlayingAggregator::automationDenied);
        m_players->setRunning({ kSpotify });
        poll();
        poll();
        QCOMPARE(m_players->permissionRequests, QStringList { kSpotify });
        QCOMPARE(denied.size(), 1);
        QCOMPARE(denied.first().first().value<Source>(), Source(Source::Spotify));
    }

    void webStatesFollowTheirRules()
    {
        NowPlayingAggregator &aggregator = start();
        announce(PlaybackState::Playing, u"Song"_s);
        LogCapture log;
        aggregator.onWebState(webState(u"soundcloud"_s, u"Web"_s, true, 42));
        QCOMPARE(now().sourceId, u"com.vesper.web.soundcloud"_s);
        QCOMPARE(now().elapsedTime, 42.0);
        // Every web report re-synchronizes the position; the acceptance line is not repeated.
        aggregator.onWebState(webState(u"soundcloud"_s, u"Web"_s, true, 50));
        QCOMPARE(now().elapsedTime, 50.0);
        QCOMPARE(log.count(u"[SourceRouting] web state accepted; source=soundcloud playing=true "
                           "title=Web"_s),
                 1);

        // Gone in automatic mode: a web source is cleared, a desktop one kept.
        aggregator.onWebState(std::nullopt);
        QVERIFY(now().title.isEmpty());
        announce(PlaybackState::Playing, u"Song"_s);
        aggregator.onWebState(std::nullopt);
        QCOMPARE(now().title, u"Song"_s);
    }

    void webLockKeepsItsPlaceAndSurvivesARestart()
    {
        m_bridge.open = { Source::YoutubeMusic };
        m_bridge.defined = { Source::YoutubeMusic };
        start();
        announce(PlaybackState::Playing, u"Song"_s);
        m_aggregator->selectSource(Source::YoutubeMusic);
        QCOMPARE(m_defaults->stringValue(SettingsKeys::lockedSource), kYtMusic);
        QVERIFY(now().title.isEmpty());
        // Desktop readings are rejected while a web source is locked.
        QLoggingCategory::setFilterRules(u"northloft.VesperApp.SourceRouting.debug=true"_s);
        LogCapture log;
        announce(PlaybackState::Playing, u"Song"_s);
        QLoggingCategory::setFilterRules(QString());
        QVERIFY(now().title.isEmpty());
        QVERIFY(log.contains(
            u"[SourceRouting] spotify notification rejected; lock=com.vesper.web.ytmusic"_s));

        // Without a state the locked source holds the place, seekable and not playing.
        m_aggregator->onWebState(std::nullopt);
        QCOMPARE(now().sourceId, kYtMusic);
        QCOMPARE(now().capabilities, SourceCapabilities(SourceCapability::Seek));
        m_aggregator->onWebState(webState(u"ytmusic"_s, u"Locked"_s, true));
        m_aggregator->onWebState(std::nullopt);
        QCOMPARE(now().title, u"Locked"_s);
        QVERIFY(!now().isPlaying);
        QVERIFY(!m_aggregator->isProgressRunning());

        // After a restart the lock waits for the extension to report the site open.
        m_bridge.connected = false;
        start();
        QCOMPARE(m_aggregator->lockedSource(), std::nullopt);
        m_bridge.connected = true;
        m_bridge.states.insert(kYtMusic, webState(u"ytmusic"_s, u"Stored"_s, false));
        m_aggregator->refreshAvailableSources();
        QCOMPARE(m_aggregator->lockedSource(), Source(Source::YoutubeMusic));
        QCOMPARE(now().title, u"Stored"_s);

        // Selecting the locked source again returns to automatic mode, for good.
        m_aggregator->selectSource(Source::YoutubeMusic);
        QCOMPARE(m_defaults->stringValue(SettingsKeys::lockedSource), u"auto"_s);
        m_aggregator->refreshAvailableSources();
        QCOMPARE(m_aggregator->lockedSource(), std::nullopt);
    }

    void desktopLockClearsWhenThePlayerQuits()
    {
        m_players->setRunning({ kSpotify });
        m_players->states.insert(kSpotify,
                                 { true, u"Spot"_s, u"A"_s, u"B"_s, 200, 10, false, 0, true });
        start().selectSource(Source::Spotify);
        QCOMPARE(now().title, u"Spot"_s);
        m_aggregator->onWebState(webState(u"ytmusic"_s, u"Web"_s, true));
        QCOMPARE(now().title, u"Spot"_s);
        m_players->setRunning({});
        poll();
        QVERIFY(now().title.isEmpty());
        QCOMPARE(m_aggregator->lockedSource(), Source(Source::Spotify));
    }

    void commandsReachTheShownSource()
    {
        NowPlayingAggregator &aggregator = start();
        announce(PlaybackState::Playing, u"Song"_s, 200);
        aggregator.nextTrack();
        aggregator.seek(500);
        aggregator.cycleRepeat();
        QCOMPARE(m_players->commands,
                 (QStringList { u"next com.spotify.client"_s, u"position com.spotify.client 200"_s,
                                u"repeat com.spotify.client 2"_s }));
        QCOMPARE(now().elapsedTime, 200.0);

        aggregator.onWebState(webState(u"amazonmusic"_s, u"Web"_s, true));
        aggregator.togglePlayPause();
        aggregator.seek(-3);
        aggregator.toggleShuffle();
        QCOMPARE(m_bridge.sent,
                 (QStringList { u"pause com.vesper.web.amazonmusic"_s,
                                u"seek com.vesper.web.amazonmusic 0"_s,
                                u"shuffle com.vesper.web.amazonmusic"_s }));
        // Amazon Music reports its own shuffle state; it is not guessed.
        QCOMPARE(now().shuffle, false);
    }

    void artworkOnlyReachesItsOwnTrack()
    {
        const auto png = [](Qt::GlobalColor color) {
            QImage cover(8, 8, QImage::Format_RGB32);
            cover.fill(color);
            QByteArray bytes;
            QBuffer buffer(&bytes);
            return buffer.open(QIODevice::WriteOnly) && cover.save(&buffer, "PNG") ? bytes
                                                                                   : QByteArray();
        };
        // The first track's cover is found last, after the second track's.
        m_itunes->route("GET", u"/search"_s, [this](const FakeHttpServer::Request &request) {
            const bool first = request.query.queryItemValue(u"term"_s) == u"Artist First"_s;
            const QString art = first ? u"/first/100x100bb.png"_s : u"/second/100x100bb.png"_s;
            FakeHttpServer::Response response = FakeHttpServer::Response::ok(
                R"({"resultCount":1,"results":[{"artworkUrl100":")"
                + m_itunes->url(art).toString().toUtf8() + R"("}]})");
            if (first)
                response.delay = std::chrono::milliseconds(150);
            return response;
        });
        m_itunes->route("GET", u"/first/600x600bb.png"_s,
                        FakeHttpServer::Response::ok(png(Qt::blue), "image/png"));
        m_itunes->route("GET", u"/second/600x600bb.png"_s,
                        FakeHttpServer::Response::ok(png(Qt::red), "image/png"));
        start();
        announce(PlaybackState::Playing, u"First"_s);
        QTRY_COMPARE(m_itunes->requests(u"/search"_s).size(), 1);
        announce(PlaybackState::Playing, u"Second"_s);
        QTRY_VERIFY(now().artwork.has_value());
        QCOMPARE(now().artwork->pixelColor(0, 0), QColor(Qt::red));
        // The first lookup ends after the track changed, and is dropped.
        QTRY_COMPARE(m_itunes->requests(u"/first/600x600bb.png"_s).size(), 1);
        QTRY_VERIFY(m_network->findChildren<QNetworkReply *>().isEmpty());
        QThreadPool::globalInstance()->waitForDone();
        QCoreApplication::processEvents();
        QCOMPARE(now().title, u"Second"_s);
        QCOMPARE(now().artwork->pixelColor(0, 0), QColor(Qt::red));
    }
};

QTEST_GUILESS_MAIN(TestNowPlayingAggregator)
#include "test_nowplayingaggregator.moc"
