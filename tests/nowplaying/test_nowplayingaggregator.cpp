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
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QThreadPool>

using namespace Qt::StringLiterals;

namespace {
const QString kSpotify = u"com.spotify.client"_s;
const QString kMusic = u"com.apple.Music"_s;
const QString kYtMusic = u"com.vesper.web.ytmusic"_s;

WebPlayerState webState(const QString &source, const QString &title, bool playing,
                        double position = 0)
{
    WebPlayerState state;
    state.source = source;
    state.title = title;
    state.artist = u"Band"_s;
    state.isPlaying = playing;
    state.duration = 300;
    state.position = position;
    state.capabilities = SourceCapability::Next | SourceCapability::Seek;
    return state;
}

QString line(const QString &text) { return u"[SourceRouting] "_s + text; }
} // namespace

class TestMediaRemoteManager : public QObject
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<SettingsStore> m_defaults;
    std::unique_ptr<FakeDesktopPlayers> m_players;
    std::unique_ptr<FakeHttpServer> m_itunes;
    std::unique_ptr<QNetworkAccessManager> m_network;
    std::unique_ptr<ArtworkResolver> m_artwork;
    std::unique_ptr<NowPlayingAggregator> m_manager;
    FakeWebBridge m_bridge;
    FakeClock m_clock;

    // A new manager over the same settings file, as after a restart.
    NowPlayingAggregator &start(bool settled = true)
    {
        m_manager.reset();
        m_defaults = std::make_unique<SettingsStore>(m_dir->filePath(u"defaults.json"_s));
        m_manager = std::make_unique<NowPlayingAggregator>(*m_players, &m_bridge, *m_artwork,
                                                           *m_defaults, m_clock);
        if (settled)
            settle();
        return *m_manager;
    }
    const NowPlayingInfo &now() const { return m_manager->nowPlaying(); }
    // Lets queued work (the first poll, artwork lookups) run.
    static void settle() { QTest::qWait(20); }
    void refresh()
    {
        m_manager->slowRefresh();
        settle();
    }
    void postSpotify(const QString &state, const QString &title, double durationMs = 215000,
                     double position = 0)
    {
        m_players->post(DesktopPlayers::spotifyNotification(),
                        { { u"Player State"_s, state },
                          { u"Name"_s, title },
                          { u"Artist"_s, u"Artist"_s },
                          { u"Album"_s, u"Album"_s },
                          { u"Duration"_s, durationMs },
                          { u"Playback Position"_s, position } });
    }
    void postMusic(const QString &state, const QString &title)
    {
        m_players->post(DesktopPlayers::appleMusicNotification(),
                        { { u"Player State"_s, state },
                          { u"Name"_s, title },
                          { u"Artist"_s, u"Singer"_s },
                          { u"Total Time"_s, 180000.0 },
                          { u"Player Position"_s, 12.0 } });
    }

private Q_SLOTS:
    void init()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        m_players = std::make_unique<FakeDesktopPlayers>();
        m_itunes = std::make_unique<FakeHttpServer>();
        qputenv("VESPER_ITUNES_URL", m_itunes->url().toString().toUtf8());
        m_network = std::make_unique<QNetworkAccessManager>();
        m_artwork = std::make_unique<ArtworkResolver>(*m_players, *m_network);
        m_bridge = FakeWebBridge();
    }
    // Lookups still in flight would never resume once their network is gone. The manager goes
    // first, so that no lookup it has queued starts after the wait.
    void cleanup()
    {
        m_manager.reset();
        QTRY_VERIFY_WITH_TIMEOUT(m_network->findChildren<QNetworkReply *>().isEmpty(), 5000);
        QThreadPool::globalInstance()->waitForDone();
        QTest::qWait(10);
    }

    void desktopNotificationsDriveTheDisplay()
    {
        start();
        LogCapture log;
        postSpotify(u"Paused"_s, u"Song"_s);
        QCOMPARE(now().title, u"Song"_s);
        QCOMPARE(now().sourceId, kSpotify);
        QVERIFY(!now().isPlaying);
        QCOMPARE(now().duration, 215.0);
        QCOMPARE(now().capabilities, allSourceCapabilities);
        QCOMPARE(log.lines(),
                 QStringList { line(u"state applied; source=com.spotify.client "
                                    "previous= playing=false title=Song lock=auto"_s) });

        // Apple Music paused does not take over; playing does.
        postMusic(u"Paused"_s, u"Other"_s);
        QCOMPARE(now().sourceId, kSpotify);
        QVERIFY(log.contains(line(u"paused state rejected in auto; "
                                  "incoming=com.apple.Music current=com.spotify.client"_s)));
        postMusic(u"Playing"_s, u"Other"_s);
        QCOMPARE(now().sourceId, kMusic);
        QCOMPARE(now().duration, 180.0);

        // Spotify stopping does not clear Apple Music; Apple Music stopping does.
        log.clear();
        postSpotify(u"Stopped"_s, u"Song"_s);
        QCOMPARE(now().title, u"Other"_s);
        postMusic(u"Stopped"_s, u"Other"_s);
        QVERIFY(now().title.isEmpty());
        QCOMPARE(log.lines(),
                 QStringList { line(u"state cleared; previous=com.apple.Music lock=auto"_s) });
        QVERIFY(!m_manager->isProgressRunning());

        // Odd values are tolerated; empty and foreign notifications change nothing.
        m_players->post(DesktopPlayers::spotifyNotification(),
                        { { u"Player State"_s, u"Playing"_s },
                          { u"Name"_s, u"T"_s },
                          { u"Artist"_s, QStringList { u"A"_s } },
                          { u"Duration"_s, u"long"_s } });
        QCOMPARE(now().title, u"T"_s);
        QCOMPARE(now().artist, QString());
        QCOMPARE(now().duration, 0.0);
        m_players->post(DesktopPlayers::spotifyNotification(), {});
        m_players->post(u"org.example.other"_s, { { u"Player State"_s, u"Stopped"_s } });
        QCOMPARE(now().title, u"T"_s);
    }

    void positionIsInterpolatedOnlyWhilePlaying()
    {
        NowPlayingAggregator &manager = start();
        const auto tick = [&](double seconds) {
            m_clock.advance(seconds);
            manager.tickProgress();
            return now().elapsedTime;
        };
        postSpotify(u"Playing"_s, u"Song"_s, 10000, 4);
        QVERIFY(manager.isProgressRunning());
        QCOMPARE(tick(0.5), 4.5);
        // Same track and play state: the reported position does not move the anchor.
        postSpotify(u"Playing"_s, u"Song"_s, 10000, 1);
        QCOMPARE(tick(0.5), 5.0);
        QCOMPARE(tick(60), 10.0);
        // Pausing re-anchors and stops the ticker, and shows where the track stands at once.
        postSpotify(u"Paused"_s, u"Song"_s, 10000, 7);
        QVERIFY(!manager.isProgressRunning());
        QCOMPARE(now().elapsedTime, 7.0);
        // So does another track that arrives paused, rather than the last track's time.
        postSpotify(u"Paused"_s, u"Other"_s, 10000, 3);
        QCOMPARE(now().elapsedTime, 3.0);
        postSpotify(u"Paused"_s, u"Song"_s, 10000, 7);
        postSpotify(u"Playing"_s, u"Song"_s, 10000, 7);
        QCOMPARE(tick(1), 8.0);
        // The real ticker runs at two steps a second.
        QSignalSpy changed(&manager, &NowPlayingAggregator::nowPlayingChanged);
        QTest::qWait(1100);
        QVERIFY(changed.size() >= 2 && changed.size() <= 3);
    }

    void pollReadsRunningPlayersOnly()
    {
        m_players->spotify = { true, u"Spot"_s, u"A"_s, u"B"_s, 200, 10, true, 2 };
        m_players->appleMusic = { true, u"Tune"_s, u"C"_s, u"D"_s, 100, 5, false, 1 };
        start();
        QCOMPARE(m_players->spotifyReads + m_players->appleMusicReads, 0);
        QVERIFY(now().title.isEmpty());

        m_players->setRunning({ kMusic });
        refresh();
        QCOMPARE(m_players->spotifyReads, 0);
        QCOMPARE(now().title, u"Tune"_s);
        QCOMPARE(now().repeatMode, 1);

        // Spotify wins whenever it has a track, even paused while Apple Music plays.
        m_players->spotify.isPlaying = false;
        m_players->setRunning({ kMusic, kSpotify });
        postMusic(u"Stopped"_s, u"Tune"_s);
        refresh();
        QCOMPARE(now().sourceId, kSpotify);
        QCOMPARE(now().shuffle, true);
        QCOMPARE(now().repeatMode, 2);
        QCOMPARE(m_players->permissionRequests, (QStringList { kMusic, kSpotify }));

        // But a paused desktop player does not compete with a playing web player.
        m_bridge.last = webState(u"ytmusic"_s, u"Web Song"_s, true);
        m_manager->onWebState(m_bridge.last);
        refresh();
        QCOMPARE(now().title, u"Web Song"_s);
        m_players->spotify.isPlaying = true;
        refresh();
        QCOMPARE(now().title, u"Spot"_s);
    }

    void webStatesFollowTheirRules()
    {
        NowPlayingAggregator &manager = start();
        postSpotify(u"Playing"_s, u"Song"_s);
        manager.onWebState(webState(u"soundcloud"_s, u"Web"_s, false));
        QCOMPARE(now().sourceId, kSpotify);

        LogCapture log;
        const QString accepted
            = line(u"web state accepted; source=soundcloud playing=true title=Web"_s);
        manager.onWebState(webState(u"soundcloud"_s, u"Web"_s, true, 42));
        QCOMPARE(now().sourceId, u"com.vesper.web.soundcloud"_s);
        QCOMPARE(now().elapsedTime, 42.0);
        QCOMPARE(now().capabilities,
                 SourceCapabilities(SourceCapability::Next | SourceCapability::Seek));
        QVERIFY(!now().artwork);
        // Every web report re-synchronizes the position; the acceptance line is not repeated.
        manager.onWebState(webState(u"soundcloud"_s, u"Web"_s, true, 50));
        QCOMPARE(now().elapsedTime, 50.0);
        QCOMPARE(log.count(accepted), 1);

        // Gone in automatic mode: a web source is cleared, a desktop one kept.
        manager.onWebState(std::nullopt);
        QVERIFY(now().title.isEmpty());
        postSpotify(u"Playing"_s, u"Song"_s);
        manager.onWebState(std::nullopt);
        QCOMPARE(now().title, u"Song"_s);
    }

    void webLockKeepsItsPlaceAndSurvivesARestart()
    {
        m_bridge.open = { Source::YoutubeMusic };
        m_bridge.defined = { Source::YoutubeMusic };
        start();
        postSpotify(u"Playing"_s, u"Song"_s);
        m_manager->selectSource(Source::YoutubeMusic);
        settle();
        QCOMPARE(m_manager->lockedSource(), Source(Source::YoutubeMusic));
        QCOMPARE(m_defaults->stringValue(SettingsKeys::lockedSource), kYtMusic);
        QVERIFY(now().title.isEmpty());
        // Desktop reports are rejected while a web source is locked.
        postSpotify(u"Playing"_s, u"Song"_s);
        QVERIFY(now().title.isEmpty());

        // Without a state the locked source holds the place, seekable and not playing.
        m_manager->onWebState(std::nullopt);
        QCOMPARE(now().sourceId, kYtMusic);
        QCOMPARE(now().capabilities, SourceCapabilities(SourceCapability::Seek));
        m_manager->onWebState(webState(u"ytmusic"_s, u"Locked"_s, true));
        QCOMPARE(now().title, u"Locked"_s);
        m_manager->onWebState(webState(u"soundcloud"_s, u"Intruder"_s, true));
        QCOMPARE(now().title, u"Locked"_s);
        m_manager->onWebState(std::nullopt);
        QCOMPARE(now().title, u"Locked"_s);
        QVERIFY(!now().isPlaying);
        QVERIFY(!m_manager->isProgressRunning());

        // After a restart the extension has not connected yet: no lock.
        m_bridge.connected = false;
        start();
        QCOMPARE(m_manager->lockedSource(), std::nullopt);
        // It connects and reports the site open with a stored state.
        m_bridge.connected = true;
        m_bridge.states.insert(kYtMusic, webState(u"ytmusic"_s, u"Stored"_s, false));
        LogCapture log;
        m_manager->refreshAvailableSources();
        QCOMPARE(m_manager->lockedSource(), Source(Source::YoutubeMusic));
        QCOMPARE(now().title, u"Stored"_s);
        QVERIFY(
            log.contains(line(u"saved source restored; lock=com.vesper.web.ytmusic current="_s)));

        // Selecting the locked source again returns to automatic mode, for good.
        m_manager->selectSource(Source::YoutubeMusic);
        QCOMPARE(m_manager->lockedSource(), std::nullopt);
        QCOMPARE(m_defaults->stringValue(SettingsKeys::lockedSource), u"auto"_s);
        QVERIFY(log.contains(line(u"source selected; requested=com.vesper.web.ytmusic "
                                  "previousLock=com.vesper.web.ytmusic newLock=auto "
                                  "current=com.vesper.web.ytmusic"_s)));
        m_manager->refreshAvailableSources();
        QCOMPARE(m_manager->lockedSource(), std::nullopt);
    }

    void desktopLockClearsWhenThePlayerQuits()
    {
        m_players->setRunning({ kSpotify });
        m_players->spotify = { true, u"Spot"_s, u"A"_s, u"B"_s, 200, 10, false, 0 };
        start().selectSource(Source::Spotify);
        settle();
        QCOMPARE(now().title, u"Spot"_s);
        m_manager->onWebState(webState(u"ytmusic"_s, u"Web"_s, true));
        QCOMPARE(now().title, u"Spot"_s);
        m_players->setRunning({});
        refresh();
        QVERIFY(now().title.isEmpty());
        QCOMPARE(m_manager->lockedSource(), Source(Source::Spotify));
    }

    void commandsReachTheShownSource()
    {
        NowPlayingAggregator &manager = start();
        // Nothing shown: transport goes to the players, which address Apple Music for "".
        manager.togglePlayPause();
        manager.seek(10);
        manager.toggleShuffle();
        QCOMPARE(m_players->commands, QStringList { u"playPause "_s });

        postSpotify(u"Playing"_s, u"Song"_s, 200000);
        m_players->commands.clear();
        manager.nextTrack();
        manager.seek(500);
        manager.cycleRepeat();
        manager.cycleRepeat();
        QCOMPARE(
            m_players->commands,
            (QStringList { u"next com.spotify.client"_s, u"position com.spotify.client 200"_s,
                           u"repeat com.spotify.client 2"_s, u"repeat com.spotify.client 0"_s }));
        QCOMPARE(now().elapsedTime, 200.0);

        manager.onWebState(webState(u"amazonmusic"_s, u"Web"_s, true));
        manager.togglePlayPause();
        manager.seek(-3);
        manager.toggleShuffle();
        manager.cycleRepeat();
        manager.cycleRepeat();
        QCOMPARE(m_bridge.sent,
                 (QStringList { u"pause com.vesper.web.amazonmusic"_s,
                                u"seek com.vesper.web.amazonmusic 0"_s,
                                u"shuffle com.vesper.web.amazonmusic"_s,
                                u"repeat com.vesper.web.amazonmusic 2"_s,
                                u"repeat com.vesper.web.amazonmusic 1"_s }));
        // Amazon Music reports its own shuffle state; it is not guessed.
        QCOMPARE(now().shuffle, false);
    }

    void artworkOnlyReachesItsOwnTrack()
    {
        const auto png = [](const QColor &color) {
            QImage cover(8, 8, QImage::Format_RGB32);
            cover.fill(color);
            QByteArray bytes;
            QBuffer buffer(&bytes);
            buffer.open(QIODevice::WriteOnly);
            cover.save(&buffer, "PNG");
            return bytes;
        };
        // The first track's cover is found last, after the second track's.
        m_itunes->route("GET", u"/search"_s, [this](const FakeHttpServer::Request &request) {
            const bool first = request.query.queryItemValue(u"term"_s) == u"Artist First"_s;
            const QString art = first ? u"/first/100x100bb.png"_s : u"/second/100x100bb.png"_s;
            FakeHttpServer::Response response = FakeHttpServer::Response::ok(
                R"({"resultCount":1,"results":[{"collectionName":"Album","artworkUrl100":")"
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
        postSpotify(u"Playing"_s, u"First"_s);
        QTRY_COMPARE(m_itunes->requests(u"/search"_s).size(), 1);
        postSpotify(u"Playing"_s, u"Second"_s);
        QTRY_VERIFY(now().artwork.has_value());
        QCOMPARE(now().artwork->pixelColor(0, 0), QColor(Qt::red));
        QTRY_COMPARE(m_itunes->requests(u"/search"_s).size(), 2);
        // The first lookup ends after the track changed and is dropped.
        QTest::qWait(300);
        QCOMPARE(now().title, u"Second"_s);
        QCOMPARE(now().artwork->pixelColor(0, 0), QColor(Qt::red));
    }

    void deniedPermissionAlertsOncePerRun()
    {
        m_players->permission = PlayerAuthStatus::Denied;
        m_players->setRunning({ kSpotify, kMusic });
        QSignalSpy denied(&start(false), &NowPlayingAggregator::automationDenied);
        settle();
        refresh();
        // Each player is asked once per run; only the first refusal is reported.
        QCOMPARE(m_players->permissionRequests, (QStringList { kSpotify, kMusic }));
        QCOMPARE(denied.size(), 1);
        QCOMPARE(denied.first().first().value<Source>(), Source(Source::Spotify));
    }
};

QTEST_GUILESS_MAIN(TestMediaRemoteManager)
#include "test_nowplayingaggregator.moc"
