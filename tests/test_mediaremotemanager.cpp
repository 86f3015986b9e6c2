#include "FakeClock.h"
#include "FakeDesktopPlayers.h"
#include "FakeHttpServer.h"
#include "FakeWebBridge.h"
#include "LogCapture.h"
#include "core/DefaultsKeys.h"
#include "core/UserDefaults.h"
#include "services/ArtworkResolver.h"
#include "services/MediaRemoteManager.h"

#include <QBuffer>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QThreadPool>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;

namespace {
const QString kSpotify = u"com.spotify.client"_s;
const QString kMusic = u"com.apple.Music"_s;

QVariantMap spotifyInfo(const QString &state, const QString &title, double durationMs = 215000,
                        double position = 0)
{
    return { { u"Player State"_s, state },  { u"Name"_s, title },
             { u"Artist"_s, u"Artist"_s },  { u"Album"_s, u"Album"_s },
             { u"Duration"_s, durationMs }, { u"Playback Position"_s, position } };
}

QVariantMap musicInfo(const QString &state, const QString &title)
{
    return { { u"Player State"_s, state },
             { u"Name"_s, title },
             { u"Artist"_s, u"Singer"_s },
             { u"Total Time"_s, 180000.0 },
             { u"Player Position"_s, 12.0 } };
}

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
} // namespace

class TestMediaRemoteManager : public QObject
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<UserDefaults> m_defaults;
    std::unique_ptr<FakeDesktopPlayers> m_players;
    std::unique_ptr<FakeHttpServer> m_itunes;
    std::unique_ptr<QNetworkAccessManager> m_network;
    std::unique_ptr<ArtworkResolver> m_artwork;
    FakeWebBridge m_bridge;
    FakeClock m_clock;

    std::unique_ptr<MediaRemoteManager> start()
    {
        m_defaults = std::make_unique<UserDefaults>(m_dir->filePath(u"defaults.json"_s));
        auto manager = std::make_unique<MediaRemoteManager>(*m_players, &m_bridge, *m_artwork,
                                                            *m_defaults, m_clock);
        settle();
        return manager;
    }
    // Lets queued work (the first poll, artwork lookups) run.
    static void settle() { QTest::qWait(20); }

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
    // Lookups still in flight would never resume once their network is gone.
    void cleanup()
    {
        QTRY_VERIFY_WITH_TIMEOUT(m_network->findChildren<QNetworkReply *>().isEmpty(), 5000);
        QThreadPool::globalInstance()->waitForDone();
        QTest::qWait(10);
    }

    void desktopNotificationsDriveTheDisplay()
    {
        auto manager = start();
        LogCapture log;
        m_players->post(DesktopPlayers::spotifyNotification(), spotifyInfo(u"Paused"_s, u"Song"_s));
        const NowPlayingInfo &shown = manager->nowPlaying();
        QCOMPARE(shown.title, u"Song"_s);
        QCOMPARE(shown.bundleID, kSpotify);
        QVERIFY(!shown.isPlaying);
        QCOMPARE(shown.duration, 215.0);
        QCOMPARE(shown.capabilities, allSourceCapabilities);
        QCOMPARE(log.lines(),
                 QStringList { u"[SourceRouting] state applied; source=com.spotify.client "
                               "previous= playing=false title=Song lock=auto"_s });

        // Apple Music paused does not take over; playing does.
        m_players->post(DesktopPlayers::appleMusicNotification(),
                        musicInfo(u"Paused"_s, u"Other"_s));
        QCOMPARE(manager->nowPlaying().bundleID, kSpotify);
        QVERIFY(log.contains(u"[SourceRouting] paused state rejected in auto; "
                             "incoming=com.apple.Music current=com.spotify.client"_s));
        m_players->post(DesktopPlayers::appleMusicNotification(),
                        musicInfo(u"Playing"_s, u"Other"_s));
        QCOMPARE(manager->nowPlaying().bundleID, kMusic);
        QCOMPARE(manager->nowPlaying().duration, 180.0);

        // Spotify stopping does not clear Apple Music; Apple Music stopping does.
        log.clear();
        m_players->post(DesktopPlayers::spotifyNotification(),
                        spotifyInfo(u"Stopped"_s, u"Song"_s));
        QCOMPARE(manager->nowPlaying().title, u"Other"_s);
        m_players->post(DesktopPlayers::appleMusicNotification(),
                        musicInfo(u"Stopped"_s, u"Other"_s));
        QVERIFY(manager->nowPlaying().title.isEmpty());
        QCOMPARE(
            log.lines(),
            QStringList { u"[SourceRouting] state cleared; previous=com.apple.Music lock=auto"_s });
        QVERIFY(!manager->isProgressRunning());
    }

    void oddNotificationValuesAreTolerated()
    {
        auto manager = start();
        m_players->post(DesktopPlayers::spotifyNotification(),
                        { { u"Player State"_s, u"Playing"_s },
                          { u"Name"_s, u"T"_s },
                          { u"Artist"_s, QStringList { u"A"_s } },
                          { u"Duration"_s, u"long"_s } });
        QCOMPARE(manager->nowPlaying().title, u"T"_s);
        QCOMPARE(manager->nowPlaying().artist, QString());
        QCOMPARE(manager->nowPlaying().duration, 0.0);
        m_players->post(DesktopPlayers::spotifyNotification(), {});
        QCOMPARE(manager->nowPlaying().title, u"T"_s);
        m_players->post(u"org.example.other"_s, spotifyInfo(u"Stopped"_s, u"T"_s));
        QCOMPARE(manager->nowPlaying().title, u"T"_s);
    }

    void positionIsInterpolatedOnlyWhilePlaying()
    {
        auto manager = start();
        m_players->post(DesktopPlayers::spotifyNotification(),
                        spotifyInfo(u"Playing"_s, u"Song"_s, 10000, 4));
        QVERIFY(manager->isProgressRunning());
        m_clock.advance(0.5);
        manager->tickProgress();
        QCOMPARE(manager->nowPlaying().elapsedTime, 4.5);
        // Same track and play state: the reported position does not move the anchor.
        m_players->post(DesktopPlayers::spotifyNotification(),
                        spotifyInfo(u"Playing"_s, u"Song"_s, 10000, 1));
        m_clock.advance(0.5);
        manager->tickProgress();
        QCOMPARE(manager->nowPlaying().elapsedTime, 5.0);
        m_clock.advance(60);
        manager->tickProgress();
        QCOMPARE(manager->nowPlaying().elapsedTime, 10.0);
        // Pausing re-anchors and stops the ticker.
        m_players->post(DesktopPlayers::spotifyNotification(),
                        spotifyInfo(u"Paused"_s, u"Song"_s, 10000, 7));
        QVERIFY(!manager->isProgressRunning());
        m_players->post(DesktopPlayers::spotifyNotification(),
                        spotifyInfo(u"Playing"_s, u"Song"_s, 10000, 7));
        m_clock.advance(1);
        manager->tickProgress();
        QCOMPARE(manager->nowPlaying().elapsedTime, 8.0);
        // The real ticker runs at two steps a second.
        QSignalSpy changed(manager.get(), &MediaRemoteManager::nowPlayingChanged);
        QTest::qWait(1100);
        QVERIFY(changed.size() >= 2 && changed.size() <= 3);
    }

    void pollReadsRunningPlayersOnly()
    {
        m_players->spotify = { true, u"Spot"_s, u"A"_s, u"B"_s, 200, 10, true, 2 };
        m_players->appleMusic = { true, u"Tune"_s, u"C"_s, u"D"_s, 100, 5, false, 1 };
        auto manager = start();
        QCOMPARE(m_players->spotifyReads + m_players->appleMusicReads, 0);
        QVERIFY(manager->nowPlaying().title.isEmpty());

        m_players->setRunning({ kMusic });
        manager->slowRefresh();
        settle();
        QCOMPARE(m_players->spotifyReads, 0);
        QCOMPARE(manager->nowPlaying().title, u"Tune"_s);
        QCOMPARE(manager->nowPlaying().repeatMode, 1);

        // Spotify wins whenever it has a track, even paused while Apple Music plays.
        m_players->spotify.isPlaying = false;
        m_players->setRunning({ kMusic, kSpotify });
        m_players->post(DesktopPlayers::appleMusicNotification(),
                        musicInfo(u"Stopped"_s, u"Tune"_s));
        manager->slowRefresh();
        settle();
        QCOMPARE(manager->nowPlaying().bundleID, kSpotify);
        QCOMPARE(manager->nowPlaying().shuffle, true);
        QCOMPARE(manager->nowPlaying().repeatMode, 2);
        QCOMPARE(m_players->permissionRequests, (QStringList { kMusic, kSpotify }));
    }

    void pausedDesktopDoesNotCompeteWithPlayingWeb()
    {
        auto manager = start();
        manager->onWebState(webState(u"ytmusic"_s, u"Web Song"_s, true));
        m_bridge.last = webState(u"ytmusic"_s, u"Web Song"_s, true);
        m_players->spotify = { false, u"Spot"_s, u"A"_s, u"B"_s, 200, 10, false, 0 };
        m_players->setRunning({ kSpotify });
        manager->slowRefresh();
        settle();
        QCOMPARE(manager->nowPlaying().title, u"Web Song"_s);
        m_players->spotify.isPlaying = true;
        manager->slowRefresh();
        settle();
        QCOMPARE(manager->nowPlaying().title, u"Spot"_s);
    }

    void webStatesFollowTheirRules()
    {
        auto manager = start();
        m_players->post(DesktopPlayers::spotifyNotification(),
                        spotifyInfo(u"Playing"_s, u"Song"_s));
        manager->onWebState(webState(u"soundcloud"_s, u"Web"_s, false));
        QCOMPARE(manager->nowPlaying().bundleID, kSpotify);

        LogCapture log;
        manager->onWebState(webState(u"soundcloud"_s, u"Web"_s, true, 42));
        QCOMPARE(manager->nowPlaying().bundleID, u"com.vesper.web.soundcloud"_s);
        QCOMPARE(manager->nowPlaying().elapsedTime, 42.0);
        QCOMPARE(manager->nowPlaying().capabilities,
                 SourceCapabilities(SourceCapability::Next | SourceCapability::Seek));
        QVERIFY(manager->nowPlaying().artwork == std::nullopt);
        QVERIFY(log.contains(
            u"[SourceRouting] web state accepted; source=soundcloud playing=true title=Web"_s));
        // Every web report re-synchronizes the position; the acceptance line is not repeated.
        manager->onWebState(webState(u"soundcloud"_s, u"Web"_s, true, 50));
        QCOMPARE(manager->nowPlaying().elapsedTime, 50.0);
        QCOMPARE(
            log.count(
                u"[SourceRouting] web state accepted; source=soundcloud playing=true title=Web"_s),
            1);

        // Gone in automatic mode: a web source is cleared, a desktop one kept.
        manager->onWebState(std::nullopt);
        QVERIFY(manager->nowPlaying().title.isEmpty());
        m_players->post(DesktopPlayers::spotifyNotification(),
                        spotifyInfo(u"Playing"_s, u"Song"_s));
        manager->onWebState(std::nullopt);
        QCOMPARE(manager->nowPlaying().title, u"Song"_s);
    }

    void webLockKeepsItsPlace()
    {
        m_bridge.open = { MusicApp::YoutubeMusic };
        m_bridge.defined = { MusicApp::YoutubeMusic };
        auto manager = start();
        m_players->post(DesktopPlayers::spotifyNotification(),
                        spotifyInfo(u"Playing"_s, u"Song"_s));
        manager->selectSource(MusicApp::YoutubeMusic);
        settle();
        QCOMPARE(manager->lockedApp(), MusicApp(MusicApp::YoutubeMusic));
        QVERIFY(manager->nowPlaying().title.isEmpty());
        // Desktop reports are rejected while a web source is locked.
        m_players->post(DesktopPlayers::spotifyNotification(),
                        spotifyInfo(u"Playing"_s, u"Song"_s));
        QVERIFY(manager->nowPlaying().title.isEmpty());

        manager->onWebState(std::nullopt);
        QCOMPARE(manager->nowPlaying().bundleID, u"com.vesper.web.ytmusic"_s);
        QCOMPARE(manager->nowPlaying().capabilities, SourceCapabilities(SourceCapability::Seek));
        manager->onWebState(webState(u"ytmusic"_s, u"Locked"_s, true));
        QCOMPARE(manager->nowPlaying().title, u"Locked"_s);
        manager->onWebState(webState(u"soundcloud"_s, u"Intruder"_s, true));
        QCOMPARE(manager->nowPlaying().title, u"Locked"_s);
        manager->onWebState(std::nullopt);
        QCOMPARE(manager->nowPlaying().title, u"Locked"_s);
        QVERIFY(!manager->nowPlaying().isPlaying);
        QVERIFY(!manager->isProgressRunning());
    }

    void lockSurvivesARestartAndRestoresWhenAvailable()
    {
        {
            auto manager = start();
            m_bridge.open = { MusicApp::YoutubeMusic };
            m_bridge.defined = { MusicApp::YoutubeMusic };
            manager->selectSource(MusicApp::YoutubeMusic);
            QCOMPARE(m_defaults->stringValue(DefaultsKeys::lockedSource),
                     u"com.vesper.web.ytmusic"_s);
        }
        // The extension has not connected yet: no lock.
        m_bridge.connected = false;
        auto manager = start();
        QCOMPARE(manager->lockedApp(), std::nullopt);
        // It connects and reports the site open with a stored state.
        m_bridge.connected = true;
        m_bridge.states.insert(u"com.vesper.web.ytmusic"_s,
                               webState(u"ytmusic"_s, u"Stored"_s, false));
        LogCapture log;
        manager->refreshAvailableSources();
        QCOMPARE(manager->lockedApp(), MusicApp(MusicApp::YoutubeMusic));
        QCOMPARE(manager->nowPlaying().title, u"Stored"_s);
        QVERIFY(log.contains(
            u"[SourceRouting] saved source restored; lock=com.vesper.web.ytmusic current="_s));

        // Selecting the locked source again returns to automatic mode, for good.
        log.clear();
        manager->selectSource(MusicApp::YoutubeMusic);
        QCOMPARE(manager->lockedApp(), std::nullopt);
        QCOMPARE(m_defaults->stringValue(DefaultsKeys::lockedSource), u"auto"_s);
        QVERIFY(log.contains(
            u"[SourceRouting] source selected; requested=com.vesper.web.ytmusic "
            "previousLock=com.vesper.web.ytmusic newLock=auto current=com.vesper.web.ytmusic"_s));
        manager->refreshAvailableSources();
        QCOMPARE(manager->lockedApp(), std::nullopt);
    }

    void desktopLockClearsWhenThePlayerQuits()
    {
        m_players->setRunning({ kSpotify });
        m_players->spotify = { true, u"Spot"_s, u"A"_s, u"B"_s, 200, 10, false, 0 };
        auto manager = start();
        manager->selectSource(MusicApp::Spotify);
        settle();
        QCOMPARE(manager->nowPlaying().title, u"Spot"_s);
        manager->onWebState(webState(u"ytmusic"_s, u"Web"_s, true));
        QCOMPARE(manager->nowPlaying().title, u"Spot"_s);
        m_players->setRunning({});
        manager->slowRefresh();
        settle();
        QVERIFY(manager->nowPlaying().title.isEmpty());
        QCOMPARE(manager->lockedApp(), MusicApp(MusicApp::Spotify));
    }

    void commandsReachTheShownSource()
    {
        auto manager = start();
        // Nothing shown: transport goes to the players, which address Apple Music for "".
        manager->togglePlayPause();
        manager->seek(10);
        manager->toggleShuffle();
        QCOMPARE(m_players->commands, QStringList { u"playPause "_s });

        m_players->post(DesktopPlayers::spotifyNotification(),
                        spotifyInfo(u"Playing"_s, u"Song"_s, 200000));
        m_players->commands.clear();
        manager->nextTrack();
        manager->seek(500);
        manager->cycleRepeat();
        manager->cycleRepeat();
        QCOMPARE(
            m_players->commands,
            (QStringList { u"next com.spotify.client"_s, u"position com.spotify.client 200"_s,
                           u"repeat com.spotify.client 2"_s, u"repeat com.spotify.client 0"_s }));
        QCOMPARE(manager->nowPlaying().elapsedTime, 200.0);

        manager->onWebState(webState(u"amazonmusic"_s, u"Web"_s, true));
        manager->togglePlayPause();
        manager->seek(-3);
        manager->toggleShuffle();
        manager->cycleRepeat();
        manager->cycleRepeat();
        QCOMPARE(m_bridge.sent,
                 (QStringList { u"pause com.vesper.web.amazonmusic"_s,
                                u"seek com.vesper.web.amazonmusic 0"_s,
                                u"shuffle com.vesper.web.amazonmusic"_s,
                                u"repeat com.vesper.web.amazonmusic 2"_s,
                                u"repeat com.vesper.web.amazonmusic 1"_s }));
        // Amazon Music reports its own shuffle state; it is not guessed.
        QCOMPARE(manager->nowPlaying().shuffle, false);
    }

    void artworkOnlyReachesItsOwnTrack()
    {
        QImage cover(8, 8, QImage::Format_RGB32);
        cover.fill(Qt::red);
        QByteArray png;
        QBuffer buffer(&png);
        buffer.open(QIODevice::WriteOnly);
        cover.save(&buffer, "PNG");
        m_itunes->route("GET", u"/search"_s, [this](const FakeHttpServer::Request &) {
            FakeHttpServer::Response response = FakeHttpServer::Response::ok(
                R"({"resultCount":1,"results":[{"collectionName":"Album","artworkUrl100":")"
                + m_itunes->url(u"/art/100x100bb.png"_s).toString().toUtf8() + R"("}]})");
            response.delay = std::chrono::milliseconds(150);
            return response;
        });
        m_itunes->route("GET", u"/art/600x600bb.png"_s,
                        FakeHttpServer::Response::ok(png, "image/png"));
        auto manager = start();
        m_players->post(DesktopPlayers::spotifyNotification(),
                        spotifyInfo(u"Playing"_s, u"First"_s));
        QTest::qWait(50);
        m_players->post(DesktopPlayers::spotifyNotification(),
                        spotifyInfo(u"Playing"_s, u"Second"_s));
        QTRY_VERIFY(manager->nowPlaying().artwork.has_value());
        QCOMPARE(manager->nowPlaying().title, u"Second"_s);
        QTRY_COMPARE(m_itunes->requests(u"/search"_s).size(), 2);
        QCOMPARE(m_itunes->requests(u"/search"_s).first().query.queryItemValue(u"term"_s),
                 u"Artist First"_s);
        QTest::qWait(300);
        // The first lookup ended after the track changed and was dropped; the second applied.
        QCOMPARE(manager->nowPlaying().artwork->pixelColor(0, 0), QColor(Qt::red));
    }

    void deniedPermissionAlertsOncePerRun()
    {
        m_players->permission = PlayerAuthStatus::Denied;
        m_players->setRunning({ kSpotify, kMusic });
        m_defaults = std::make_unique<UserDefaults>(m_dir->filePath(u"defaults.json"_s));
        MediaRemoteManager manager(*m_players, &m_bridge, *m_artwork, *m_defaults, m_clock);
        QSignalSpy denied(&manager, &MediaRemoteManager::automationDenied);
        settle();
        manager.slowRefresh();
        settle();
        // Each player is asked once per run; only the first refusal is reported.
        QCOMPARE(m_players->permissionRequests, (QStringList { kSpotify, kMusic }));
        QCOMPARE(denied.size(), 1);
        QCOMPARE(denied.first().first().value<MusicApp>(), MusicApp(MusicApp::Spotify));
    }
};

QTEST_GUILESS_MAIN(TestMediaRemoteManager)
#include "test_mediaremotemanager.moc"
