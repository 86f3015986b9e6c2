// The aggregator over the real MPRIS code, with a scripted player on a private session bus.
#include "FakeClock.h"
#include "FakeMprisPlayer.h"
#include "core/SettingsStore.h"
#include "nowplaying/ArtworkResolver.h"
#include "nowplaying/NowPlayingAggregator.h"
#include "platform/linux/MprisDesktopPlayers.h"

#include <QDBusConnection>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QTemporaryDir>
#include <QTest>
#include <QThreadPool>

using namespace Qt::StringLiterals;

namespace {
constexpr qlonglong kSecond = 1'000'000;
}

class TestNowPlayingMpris : public QObject
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<FakeMprisPlayer> m_player;
    std::unique_ptr<MprisDesktopPlayers> m_players;
    std::unique_ptr<QNetworkAccessManager> m_network;
    std::unique_ptr<ArtworkResolver> m_artwork;
    std::unique_ptr<SettingsStore> m_defaults;
    FakeClock m_clock;
    QString m_connectionName;

    std::unique_ptr<NowPlayingAggregator> startManager()
    {
        m_defaults = std::make_unique<SettingsStore>(m_dir->filePath(u"defaults.json"_s));
        return std::make_unique<NowPlayingAggregator>(*m_players, nullptr, *m_artwork, *m_defaults,
                                                      m_clock);
    }
    void play(const QString &title)
    {
        m_player->changePlayerProperties(
            { { u"Metadata"_s, FakeMprisPlayer::metadata(title, u"Artist"_s, u"Album"_s, 215) },
              { u"PlaybackStatus"_s, u"Playing"_s } });
    }

private Q_SLOTS:
    void init()
    {
        static int counter = 0;
        m_connectionName = u"player-%1"_s.arg(++counter);
        m_dir = std::make_unique<QTemporaryDir>();
        m_player = std::make_unique<FakeMprisPlayer>(
            QDBusConnection::connectToBus(QDBusConnection::SessionBus, m_connectionName));
        m_players = std::make_unique<MprisDesktopPlayers>(QDBusConnection::sessionBus());
        m_network = std::make_unique<QNetworkAccessManager>();
        // Artwork lookups go nowhere: nothing listens on the discard port.
        qputenv("VESPER_ITUNES_URL", "http://127.0.0.1:9");
        m_artwork = std::make_unique<ArtworkResolver>(*m_players, *m_network);
    }
    void cleanup()
    {
        // Lookups still in flight would never resume once their network is gone.
        QTRY_VERIFY_WITH_TIMEOUT(m_network->findChildren<QNetworkReply *>().isEmpty(), 5000);
        QThreadPool::globalInstance()->waitForDone();
        QTest::qWait(10);
        m_artwork.reset();
        m_players.reset();
        m_player.reset();
        QDBusConnection::disconnectFromBus(m_connectionName);
    }

    void followsAPlayerThroughItsStates()
    {
        // A player already paused on a track when Vesper starts is found by the first poll.
        m_player->setPlayerProperty(u"Metadata"_s,
                                    FakeMprisPlayer::metadata(u"Found"_s, u"A"_s, u"B"_s, 100));
        m_player->setPlayerProperty(u"PlaybackStatus"_s, u"Paused"_s);
        m_player->setPlayerProperty(u"Position"_s, 30 * kSecond);
        QVERIFY(m_player->start());
        QTRY_VERIFY(m_players->runningSourceIds().contains(u"com.spotify.client"_s));
        auto manager = startManager();
        QTRY_COMPARE(manager->nowPlaying().title, u"Found"_s);
        QVERIFY(manager->availableSourcesSnapshot().contains(Source::Spotify));

        play(u"First"_s);
        QTRY_COMPARE(manager->nowPlaying().title, u"First"_s);
        QVERIFY(manager->nowPlaying().isPlaying);
        QCOMPARE(manager->nowPlaying().duration, 215.0);
        QVERIFY(manager->isProgressRunning());
        m_player->changePlayerProperties({ { u"PlaybackStatus"_s, u"Paused"_s } });
        QTRY_VERIFY(!manager->nowPlaying().isPlaying);
        QCOMPARE(manager->nowPlaying().title, u"First"_s);
        QVERIFY(!manager->isProgressRunning());

        // Commands go back to the player; a seek past the end stops at the end.
        m_player->clearCalls();
        manager->togglePlayPause();
        QTRY_COMPARE(m_player->callCount(u"PlayPause"_s), 1);
        manager->seek(500);
        QTRY_COMPARE(m_player->callCount(u"SetPosition"_s), 1);
        QCOMPARE(m_player->calls().last().arguments.value(1).toLongLong(), 215 * kSecond);

        play(u"Second"_s);
        QTRY_COMPARE(manager->nowPlaying().title, u"Second"_s);
        m_player->changePlayerProperties({ { u"PlaybackStatus"_s, u"Stopped"_s } });
        QTRY_VERIFY(manager->nowPlaying().title.isEmpty());

        // A player that quits takes its track with it.
        play(u"Third"_s);
        QTRY_COMPARE(manager->nowPlaying().title, u"Third"_s);
        m_player->quit();
        QTRY_VERIFY(manager->nowPlaying().title.isEmpty());
        QTRY_VERIFY(!manager->availableSourcesSnapshot().contains(Source::Spotify));
    }

    void lockSurvivesARestart()
    {
        QVERIFY(m_player->start());
        play(u"Song"_s);
        {
            auto manager = startManager();
            QTRY_VERIFY(manager->availableSourcesSnapshot().contains(Source::Spotify));
            manager->selectSource(Source::Spotify);
        }
        auto manager = startManager();
        QTRY_COMPARE(manager->lockedSource(), Source(Source::Spotify));
        QTRY_COMPARE(manager->nowPlaying().title, u"Song"_s);
    }
};

QTEST_GUILESS_MAIN(TestNowPlayingMpris)
#include "test_nowplaying_mpris.moc"
