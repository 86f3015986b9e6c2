#include "FakeClock.h"
#include "FakeDesktopPlayers.h"
#include "FakeHttpServer.h"
#include "FakeWebBridge.h"
#include "ServiceFixture.h"
#include "core/SettingsStore.h"
#include "nowplaying/ArtworkResolver.h"
#include "nowplaying/NowPlayingAggregator.h"
#include "nowplaying/SourceRouting.h"

#include <QBuffer>
#include <QSignalSpy>
#include <QTest>
#include <QThreadPool>

// Cases name only the fields they need.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

using namespace Qt::StringLiterals;
using namespace SourceRouting;

namespace {
const QString kSpotify = u"com.spotify.client"_s;
const QString kYtMusic = u"com.vesper.web.ytmusic"_s;

WebPlayerState web(const QString &source, const QString &title, bool playing, double at = 0)
{
    return { .source = source,
             .title = title,
             .duration = 300,
             .position = at,
             .isPlaying = playing,
             .capabilities = SourceCapability::Next | SourceCapability::Seek };
}
} // namespace

class TestNowPlayingAggregator : public QObject
{
    Q_OBJECT

    std::unique_ptr<ServiceFixture> m_fixture;
    std::unique_ptr<FakeDesktopPlayers> m_players;
    std::unique_ptr<FakeHttpServer> m_itunes;
    std::unique_ptr<ArtworkResolver> m_artwork;
    std::unique_ptr<NowPlayingAggregator> m_aggregator;
    FakeWebBridge m_bridge;
    FakeClock m_clock;

    // A new aggregator over the same settings file, as after a restart, after its first poll.
    NowPlayingAggregator &start()
    {
        m_aggregator.reset();
        m_aggregator = std::make_unique<NowPlayingAggregator>(*m_players, &m_bridge, *m_artwork,
                                                              m_fixture->reopenSettings(), m_clock);
        QCoreApplication::processEvents();
        return *m_aggregator;
    }
    const NowPlayingInfo &now() const { return m_aggregator->nowPlaying(); }
    // Lets every lookup in flight end.
    void settle()
    {
        QVERIFY(m_fixture->networkDrained());
        QThreadPool::globalInstance()->waitForDone();
        QCoreApplication::processEvents();
    }
    void announce(PlaybackState state, const QString &title, double duration = 215,
                  double position = 0)
    {
        m_players->announce(kSpotify, { state, title, u"A"_s, u"B"_s, duration, position });
    }

private Q_SLOTS:
    void init()
    {
        m_fixture = std::make_unique<ServiceFixture>();
        m_players = std::make_unique<FakeDesktopPlayers>();
        m_itunes = std::make_unique<FakeHttpServer>();
        m_fixture->setEndpoint("VESPER_ITUNES_URL", m_itunes->url());
        m_artwork = std::make_unique<ArtworkResolver>(*m_players, m_fixture->network());
        m_bridge = FakeWebBridge();
    }
    // The aggregator goes first, so that no lookup it has queued starts after the wait.
    void cleanup()
    {
        m_aggregator.reset();
        settle();
    }

    void readingsAndPosition()
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
        // Pausing stops the ticker and shows where the track stands at once; so does another
        // track that arrives paused, rather than the last track's time.
        announce(PlaybackState::Paused, u"Song"_s, 10, 7);
        QVERIFY(!aggregator.isProgressRunning());
        QCOMPARE(now().elapsedTime, 7.0);
        announce(PlaybackState::Paused, u"Other"_s, 10, 3);
        QCOMPARE(now().elapsedTime, 3.0);
        QVERIFY(!now().isPlaying);
        QCOMPARE(now().capabilities, allSourceCapabilities);

        announce(PlaybackState::Stopped, u"Other"_s);
        QVERIFY(now().title.isEmpty());
        announce(PlaybackState::Playing, u"Song"_s);
        announce(PlaybackState::Playing, QString());
        QVERIFY(now().title.isEmpty() && !aggregator.isProgressRunning());
        // Another source's clear does not touch what is shown.
        aggregator.onWebState(web(u"soundcloud"_s, u"Web"_s, true, 42));
        announce(PlaybackState::Stopped, QString());
        QCOMPARE(now().title, u"Web"_s);
        // Gone in automatic mode: a web source is cleared, a desktop one kept.
        aggregator.onWebState(std::nullopt);
        QVERIFY(now().title.isEmpty());
        announce(PlaybackState::Playing, u"Song"_s);
        aggregator.onWebState(std::nullopt);
        QCOMPARE(now().title, u"Song"_s);
    }

    void pollReadsRunningPlayers()
    {
        m_players->states.insert(kSpotify,
                                 { true, u"Spot"_s, u"A"_s, u"B"_s, 200, 10, true, 2, true });
        m_players->permission = PlayerAuthStatus::Denied;
        QSignalSpy denied(&start(), &NowPlayingAggregator::automationDenied);
        QVERIFY(now().title.isEmpty());
        // A player found after start is read at once, well before the next poll.
        m_players->setRunning({ kSpotify });
        QTRY_COMPARE_WITH_TIMEOUT(now().title, u"Spot"_s, 1000);
        QCOMPARE(now().repeatMode, 2);
        // Shuffle and repeat are the poll's: an announced reading leaves them.
        announce(PlaybackState::Playing, u"Spot"_s);
        QCOMPARE(now().shuffle, true);

        // Permission is asked of running players only, once, and a refusal reported once.
        QCOMPARE(m_players->permissionRequests, QStringList { kSpotify });
        QCOMPARE(denied.size(), 1);
        QCOMPARE(denied.first().first().value<Source>(), Source(Source::Spotify));

        // A desktop lock clears the display once its player has quit, and stays.
        m_aggregator->selectSource(Source::Spotify);
        m_players->setRunning({});
        m_aggregator->slowRefresh();
        QVERIFY(now().title.isEmpty());
        QCOMPARE(m_aggregator->lockedSource(), Source(Source::Spotify));
    }

    void webLockKeepsItsPlaceAndSurvivesARestart()
    {
        m_bridge.open = { Source::YoutubeMusic };
        m_bridge.defined = { Source::YoutubeMusic };
        NowPlayingAggregator *aggregator = &start();
        announce(PlaybackState::Playing, u"Song"_s);
        aggregator->selectSource(Source::YoutubeMusic);
        // Desktop readings are rejected while a web source is locked.
        announce(PlaybackState::Playing, u"Song"_s);
        QVERIFY(now().title.isEmpty());

        // Without a state the locked source holds the place, seekable and not playing.
        aggregator->onWebState(std::nullopt);
        QCOMPARE(now().sourceId, kYtMusic);
        QCOMPARE(now().capabilities, SourceCapabilities(SourceCapability::Seek));
        aggregator->onWebState(web(u"ytmusic"_s, u"Locked"_s, true));
        aggregator->onWebState(std::nullopt);
        QCOMPARE(now().title, u"Locked"_s);
        QVERIFY(!now().isPlaying && !aggregator->isProgressRunning());

        // After a restart the lock waits for the extension to report the site open.
        m_bridge.connected = false;
        aggregator = &start();
        QCOMPARE(aggregator->lockedSource(), std::nullopt);
        m_bridge.connected = true;
        m_bridge.states.insert(kYtMusic, web(u"ytmusic"_s, u"Stored"_s, false));
        aggregator->refreshAvailableSources();
        QCOMPARE(aggregator->lockedSource(), Source(Source::YoutubeMusic));
        QCOMPARE(now().title, u"Stored"_s);
        // Choosing the locked source again returns to the automatic choice, for good.
        aggregator->selectSource(Source::YoutubeMusic);
        QCOMPARE(aggregator->lockedSource(), std::nullopt);
        QCOMPARE(m_fixture->settings().stringValue(u"lockedSource"_s), u"auto"_s);
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

        aggregator.onWebState(web(u"amazonmusic"_s, u"Web"_s, true));
        aggregator.seek(-3);
        aggregator.toggleShuffle();
        QCOMPARE(m_bridge.sent,
                 (QStringList { u"seek com.vesper.web.amazonmusic 0"_s,
                                u"shuffle com.vesper.web.amazonmusic"_s }));
    }

    void artworkOnlyReachesItsOwnTrack()
    {
        // The first track's cover is blue, the second's red; the first is found last.
        for (const QString &color : { u"blue"_s, u"red"_s }) {
            QImage cover(8, 8, QImage::Format_RGB32);
            cover.fill(QColor(color));
            QByteArray png;
            QBuffer buffer(&png);
            QVERIFY(buffer.open(QIODevice::WriteOnly) && cover.save(&buffer, "PNG"));
            m_itunes->route("GET", u"/%1/600x600bb.png"_s.arg(color),
                            FakeHttpServer::Response::ok(png, "image/png"));
        }
        m_itunes->route("GET", u"/search"_s, [this](const FakeHttpServer::Request &request) {
            const bool first = request.query.queryItemValue(u"term"_s) == u"A First"_s;
            const QUrl art
                = m_itunes->url(first ? u"/blue/100x100bb.png"_s : u"/red/100x100bb.png"_s);
            auto response = FakeHttpServer::Response::ok(R"({"results":[{"artworkUrl100":")"
                                                         + art.toEncoded() + R"("}]})");
            response.delay = std::chrono::milliseconds(first ? 150 : 0);
            return response;
        });
        start();
        announce(PlaybackState::Playing, u"First"_s);
        QTRY_COMPARE(m_itunes->requests(u"/search"_s).size(), 1);
        announce(PlaybackState::Playing, u"Second"_s);
        QTRY_VERIFY(now().artwork.has_value());
        // The first lookup ends after the track changed, and is dropped.
        settle();
        QCOMPARE(now().title, u"Second"_s);
        QCOMPARE(now().artwork->pixelColor(0, 0), QColor(Qt::red));
    }

    void gates()
    {
        const QString spotify = Source(Source::Spotify).rawValue();
        const QString music = Source(Source::AppleMusic).rawValue();
        const NowPlayingInfo musicPaused { .title = u"Song"_s, .sourceId = music };

        // Automatic mode: a playing source always takes over, a paused one never from another.
        QCOMPARE(admit(std::nullopt, spotify, true, musicPaused), Verdict::Accepted);
        QCOMPARE(admit(std::nullopt, spotify, false, musicPaused), Verdict::RejectedPaused);
        QCOMPARE(admit(std::nullopt, music, false, musicPaused), Verdict::Accepted);
        // An unrecognised identifier counts as unknown, which is not the shown source.
        QCOMPARE(admit(std::nullopt, u"org.example.player"_s, false, musicPaused),
                 Verdict::RejectedPaused);
        // A lock admits its own source only, playing or not.
        QCOMPARE(admit(Source::Spotify, spotify, false, musicPaused), Verdict::Accepted);
        QCOMPARE(admit(Source::Spotify, music, true, musicPaused), Verdict::RejectedByLock);
        QCOMPARE(admit(Source::generic(u"radio.example"_s),
                       u"com.vesper.web.generic.radio.example"_s, true, NowPlayingInfo()),
                 Verdict::Accepted);

        const NowPlayingInfo spotifyPlaying { .title = u"Song"_s,
                                              .isPlaying = true,
                                              .sourceId = spotify };
        const WebPlayerState paused { .title = u"Web"_s };
        const WebPlayerState playing { .title = u"Web"_s, .isPlaying = true };

        QCOMPARE(admitWeb(std::nullopt, paused, spotifyPlaying), WebVerdict::RejectedPaused);
        QCOMPARE(admitWeb(std::nullopt, playing, spotifyPlaying), WebVerdict::Accepted);
        // The shown web source may report its own pause.
        NowPlayingInfo webShown = spotifyPlaying;
        webShown.sourceId = Source(Source::YoutubeMusic).rawValue();
        QCOMPARE(admitWeb(std::nullopt, paused, webShown), WebVerdict::Accepted);
        // A native lock rejects every web state.
        QCOMPARE(admitWeb(Source::Spotify, playing, spotifyPlaying),
                 WebVerdict::RejectedByNativeLock);
        QCOMPARE(admitWeb(Source::SoundCloud, playing, spotifyPlaying),
                 WebVerdict::RejectedByWebLock);
        QCOMPARE(admitWeb(Source::YoutubeMusic, playing, spotifyPlaying), WebVerdict::Accepted);
        QCOMPARE(admitWeb(std::nullopt, WebPlayerState { .isPlaying = true }, spotifyPlaying),
                 WebVerdict::Missing);
        QCOMPARE(admitWeb(Source::YoutubeMusic, std::nullopt, spotifyPlaying), WebVerdict::Missing);

        // Spotify knows no "repeat one"; the others go off, all, one, off.
        QCOMPARE(nextRepeatMode(Source::Spotify, 1), 0);
        QCOMPARE(nextRepeatMode(Source::AppleMusic, 2), 1);
        QCOMPARE(nextRepeatMode(Source::YoutubeMusic, 7), 0);

        const QSet<QString> running { Source(Source::Spotify).rawValue() };
        // Without the extension only the desktop players are listed.
        QCOMPARE(sourceList(running, false, { Source::YoutubeMusic }, { Source::YoutubeMusic }, {}),
                 (QList<SourceListItem> { { Source::Spotify, true, std::nullopt },
                                          { Source::AppleMusic, false, u"Not Running"_s } }));

        const Source radio = Source::generic(u"radio.example"_s);
        const auto items = sourceList(
            running, true,
            { Source::SoundCloud, Source::generic(u"listed.example"_s), Source::YoutubeMusic },
            { Source::YoutubeMusic, radio }, {});
        QList<Source> order;
        for (const auto &item : items)
            order.append(item.app);
        // Catalogue order (generic definitions skipped), then the open generic sites.
        QCOMPARE(order,
                 (QList<Source> { Source::Spotify, Source::AppleMusic, Source::SoundCloud,
                                  Source::YoutubeMusic, radio }));
        QVERIFY(items[2].statusNote == u"Not Open"_s && items[3].enabled);
    }
};

QTEST_GUILESS_MAIN(TestNowPlayingAggregator)
#include "test_nowplayingaggregator.moc"
