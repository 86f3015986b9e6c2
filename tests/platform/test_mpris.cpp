#include "FakeMprisPlayer.h"
#include "platform/linux/MprisDesktopPlayers.h"
#include "platform/linux/MprisPlayer.h"
#include "platform/linux/MprisProperties.h"

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTest>

using namespace Qt::StringLiterals;

Q_DECLARE_METATYPE(RawNowPlaying)

namespace {
const QString kSpotify = MprisDesktopPlayers::spotifyBundleID();
constexpr qlonglong kSecond = 1'000'000;
const QString kStatus = u"PlaybackStatus"_s;
const QString kPosition = u"Position"_s;
const QString kMetadata = u"Metadata"_s;
const QVariant kAbsent; // the player does not have the property at all
} // namespace

class TestMpris : public QObject
{
    Q_OBJECT

    QString m_connectionName;
    std::unique_ptr<FakeMprisPlayer> m_fake;
    std::unique_ptr<MprisDesktopPlayers> m_players;
    std::unique_ptr<QSignalSpy> m_announced;

    // Starts a player playing "Song" by "Artist" on "Album", 215 s long, 42 s in, and a reader
    // of it. The changes replace those values (keys with a colon are the track's metadata).
    MprisDesktopPlayers &startPlayer(const QVariantMap &changes = {})
    {
        QVariantMap metadata = FakeMprisPlayer::metadata(u"Song"_s, u"Artist"_s, u"Album"_s, 215);
        QVariantMap properties { { kStatus, u"Playing"_s }, { kPosition, 42 * kSecond } };
        for (auto it = changes.cbegin(); it != changes.cend(); ++it)
            (it.key().contains(u':') ? metadata : properties)[it.key()] = it.value();
        metadata.removeIf([](auto entry) { return !entry.value().isValid(); });
        if (!properties.contains(kMetadata))
            properties[kMetadata] = metadata;
        for (auto it = properties.cbegin(); it != properties.cend(); ++it)
            m_fake->setPlayerProperty(it.key(), it.value());
        [&] { QVERIFY(m_fake->start()); }();
        m_players = std::make_unique<MprisDesktopPlayers>(QDBusConnection::sessionBus());
        return *m_players;
    }
    // A reader that has seen the player and read it once; its calls so far are forgotten, and
    // m_announced records what the reader announces from now on.
    MprisDesktopPlayers &startKnown()
    {
        startPlayer();
        [&] { QTRY_VERIFY(m_players->runningSourceIds().contains(kSpotify)); }();
        // Answers come in order, so once this read is back the first one has filled the cache.
        QCoro::waitFor(m_players->readState(kSpotify));
        m_fake->clearCalls();
        m_announced
            = std::make_unique<QSignalSpy>(m_players.get(), &DesktopPlayers::playerStateChanged);
        return *m_players;
    }

private Q_SLOTS:
    void init()
    {
        static int counter = 0;
        m_connectionName = u"fake-mpris-%1"_s.arg(++counter);
        m_fake = std::make_unique<FakeMprisPlayer>(
            QDBusConnection::connectToBus(QDBusConnection::SessionBus, m_connectionName));
    }
    void cleanup()
    {
        m_announced.reset();
        m_players.reset();
        m_fake.reset();
        QDBusConnection::disconnectFromBus(m_connectionName);
    }

    void metadataIdentifiers()
    {
        using namespace MprisProperties;
        const auto id = [](const QString &value) {
            return QVariantMap { { u"mpris:trackid"_s, value } };
        };
        QCOMPARE(trackID(id(u"spotify:track:4uLU6h"_s)), u"4uLU6h"_s);
        QCOMPARE(trackObjectPath(id(u"spotify:track:4uLU6h"_s)), std::nullopt);
        QCOMPARE(trackObjectPath(id(u"/com/spotify/track/6rqh"_s))->path(),
                 u"/com/spotify/track/6rqh"_s);
        // Neither a malformed path nor the "no track" path can address SetPosition.
        QVERIFY(!trackObjectPath(id(u"/com/spotify//track/a-b"_s)));
        QVERIFY(!trackObjectPath(id(u"/org/mpris/MediaPlayer2/TrackList/NoTrack"_s)));
        const QString huge = u"/a/"_s + QString(100'000, u'b');
        QVERIFY(!trackID(id(huge)) && !trackObjectPath(id(huge)));
        QCOMPARE(artworkURL({ { u"mpris:artUrl"_s, u"https://open.spotify.com/image/ab67"_s } }),
                 u"https://i.scdn.co/image/ab67"_s);
    }

    void readsState_data()
    {
        QTest::addColumn<QVariantMap>("changes");
        QTest::addColumn<RawNowPlaying>("expected");

        const RawNowPlaying playing { true, u"Song"_s, u"Artist"_s,     u"Album"_s, 215,
                                      42,   false,     RepeatMode::Off, true };
        const auto with = [&playing](auto change) {
            RawNowPlaying track = playing;
            change(track);
            return track;
        };
        const QString length = u"mpris:length"_s;
        QTest::newRow("paused") << QVariantMap { { kStatus, u"Paused"_s } }
                                << with([](RawNowPlaying &t) { t.isPlaying = false; });
        QTest::newRow("no title") << QVariantMap { { u"xesam:title"_s, kAbsent } }
                                  << RawNowPlaying();
        QTest::newRow("stopped") << QVariantMap { { kStatus, u"Stopped"_s } } << RawNowPlaying();
        // Spotify cannot say "repeat one": repeating the track counts as repeating all.
        QTest::newRow("players' types")
            << QVariantMap { { kPosition, int(42'500'000) },
                             { length, uint(215'000'000) },
                             { u"xesam:artist"_s, QVariantList { u"A"_s, 7, u"B"_s } },
                             { u"Shuffle"_s, true },
                             { u"LoopStatus"_s, u"Track"_s } }
            << with([](RawNowPlaying &t) {
                   t.elapsed = 42.5;
                   t.artist = u"A, B"_s;
                   t.shuffle = true;
                   t.repeatMode = RepeatMode::All;
               });
        QTest::newRow("wrong types") << QVariantMap {
            { kPosition, u"42"_s },   { u"Shuffle"_s, u"true"_s },
            { u"LoopStatus"_s, 2 },   { length, qQNaN() },
            { u"xesam:artist"_s, 5 }, { u"xesam:album"_s, QStringList { u"Album"_s } }
        } << RawNowPlaying { true, u"Song"_s, {}, {}, 0, 0, false, RepeatMode::Off, true };
        QTest::newRow("status not a string") << QVariantMap { { kStatus, 1 } } << RawNowPlaying();
        QTest::newRow("track not a map") << QVariantMap { { kMetadata, 7 } } << RawNowPlaying();
        QTest::newRow("out of range")
            << QVariantMap { { kPosition, -3 * kSecond }, { length, 1e300 } }
            << with([](RawNowPlaying &t) {
                   t.elapsed = 0;
                   t.duration = MprisProperties::maxSeconds();
               });
        // A surrogate pair straddles the cut.
        const QString kept(MprisProperties::maxTextLength() - 1, u'x');
        QTest::newRow("10 MB title") << QVariantMap {
            { u"xesam:title"_s,
              QString(kept + QString::fromUtf8("\U0001F3B5") + QString(10'000'000, u'y')) }
        } << with([&kept](RawNowPlaying &t) { t.title = kept; });
    }

    void readsState()
    {
        QFETCH(QVariantMap, changes);
        QFETCH(RawNowPlaying, expected);
        QCOMPARE(QCoro::waitFor(startPlayer(changes).readState(kSpotify)), expected);
    }

    void followsLaunchAndQuit()
    {
        // A player running before Vesper looks is found, and its properties read at once.
        MprisDesktopPlayers &players = startPlayer();
        QSignalSpy changed(&players, &DesktopPlayers::runningPlayersChanged);
        QSignalSpy announced(&players, &DesktopPlayers::playerStateChanged);
        QVERIFY(players.runningSourceIds().isEmpty());
        QTRY_COMPARE(changed.count(), 1);
        QCOMPARE(players.runningSourceIds(), QSet<QString> { kSpotify });
        QTRY_COMPARE(m_fake->callCount(u"GetAll"_s), 1);

        // It quits with calls out: they end at once, and the stop is the only announcement,
        // which is what lets a shown track go.
        m_fake->setAnswering(false);
        QCoro::Task<RawNowPlaying> state = players.readState(kSpotify);
        m_fake->changePlayerProperties({ { kStatus, u"Paused"_s } });
        QTRY_COMPARE(m_fake->callCount(u"Get"_s, kPosition), 1);
        QElapsedTimer clock;
        clock.start();
        m_fake->quit();
        QCOMPARE(QCoro::waitFor(state), RawNowPlaying());
        QVERIFY(clock.elapsed() < MprisPlayer::callTimeoutMs);
        QTRY_COMPARE(changed.count(), 2);
        QVERIFY(players.runningSourceIds().isEmpty());
        QCOMPARE(announced.count(), 1);
        QCOMPARE(announced.at(0).at(1).value<PlayerReading>(), PlayerReading());

        // Launched while Vesper looks.
        m_fake->setAnswering(true);
        QVERIFY(m_fake->start());
        QTRY_COMPARE(changed.count(), 3);
        QCOMPARE(QCoro::waitFor(players.readState(kSpotify)).title, u"Song"_s);
    }

    void changesAreAnnouncedWholeAndCoalescedAndAHungPlayerIsBounded()
    {
        MprisDesktopPlayers &players = startKnown();
        const auto announced
            = [this](qsizetype i) { return m_announced->at(i).at(1).value<PlayerReading>(); };
        // The player moved on without saying so; the change names nothing but the status.
        m_fake->setPlayerProperty(kPosition, 61'250'000LL);
        m_fake->changePlayerProperties({ { kStatus, u"Paused"_s } });
        QTRY_COMPARE(m_announced->count(), 1);
        QCOMPARE(announced(0),
                 (PlayerReading { PlaybackState::Paused, u"Song"_s, u"Artist"_s, u"Album"_s, 215,
                                  61.25 }));
        QCOMPARE(m_fake->callCount(u"Get"_s, kPosition), 1);
        QCOMPARE(m_fake->callCount(u"GetAll"_s), 0);

        // An invalidated property has no value to merge: everything is read again.
        m_fake->setPlayerProperty(kMetadata,
                                  FakeMprisPlayer::metadata(u"Third"_s, u"X"_s, u"Y"_s, 60));
        m_fake->emitPropertiesChanged({}, { kMetadata });
        QTRY_COMPARE(m_announced->count(), 2);
        QCOMPARE(announced(1).title, u"Third"_s);
        QCOMPARE(m_fake->callCount(u"GetAll"_s), 1);

        // A flood costs one read in flight and one after it, and ends in the last state.
        m_announced->clear();
        m_fake->clearCalls();
        for (int i = 0; i < 300; ++i)
            m_fake->changePlayerProperties({ { kStatus, i % 2 ? u"Playing"_s : u"Paused"_s } });
        QTRY_VERIFY(!m_announced->isEmpty()
                    && announced(m_announced->size() - 1).state == PlaybackState::Playing);
        // Once this read is back, nothing more is on its way.
        QCoro::waitFor(m_players->readState(kSpotify));
        const int reads = m_fake->callCount(u"Get"_s);
        QVERIFY2(reads <= 2, qPrintable(u"%1 reads"_s.arg(reads)));
        QCOMPARE(m_announced->count(), reads);

        // A player that stops answering holds no command up, and a read only until the timeout.
        m_fake->setAnswering(false);
        QElapsedTimer clock;
        clock.start();
        players.playPause(kSpotify);
        players.setPosition(kSpotify, 12);
        QVERIFY(clock.elapsed() < 100);

        QCOMPARE(QCoro::waitFor(players.readState(kSpotify)), RawNowPlaying());
        const qint64 waited = clock.elapsed();
        QVERIFY2(waited >= MprisPlayer::callTimeoutMs - 100
                     && waited < MprisPlayer::callTimeoutMs + 1500,
                 qPrintable(QString::number(waited)));
    }

    void commands_data()
    {
        QTest::addColumn<QVariant>("trackID");
        QTest::addColumn<QVariant>("position");
        QTest::addColumn<double>("seconds");
        QTest::addColumn<QVariantList>("seek"); // member and arguments; empty: nothing is sent

        const QVariant track = QVariant::fromValue(QDBusObjectPath(u"/com/spotify/track/abc"_s));
        const QVariant uri(u"spotify:track:abc"_s);
        QTest::newRow("object path") << track << QVariant(0LL) << 90.0
                                     << QVariantList { u"SetPosition"_s, track, 90 * kSecond };
        QTest::newRow("URI, position as i: relative seek")
            << uri << QVariant(int(10 * kSecond)) << 90.0
            << QVariantList { u"Seek"_s, 80 * kSecond };
        QTest::newRow("URI without a position") << uri << kAbsent << 90.0 << QVariantList();
        QTest::newRow("not a number") << track << QVariant(0LL) << qQNaN() << QVariantList();
    }

    void commands()
    {
        QFETCH(QVariant, trackID);
        QFETCH(QVariant, position);
        QFETCH(double, seconds);
        QFETCH(QVariantList, seek);
        MprisDesktopPlayers &players
            = startPlayer({ { u"mpris:trackid"_s, trackID }, { kPosition, position } });
        QTRY_VERIFY(players.runningSourceIds().contains(kSpotify));

        // Only Spotify's id addresses the player.
        players.setShuffle(u"com.apple.Music"_s, false);
        players.setPosition(kSpotify, seconds);
        // Answers come in order: once this read is back, the seek has been sent if it ever will.
        QCoro::waitFor(players.readState(kSpotify));
        players.setShuffle(kSpotify, true);
        players.setRepeatMode(kSpotify, RepeatMode::One);
        players.setRepeatMode(kSpotify, RepeatMode::Off);
        const QString player = FakeMprisPlayer::playerInterface;
        QList<QVariantList> expected { { u"Set"_s, player, u"Shuffle"_s, true },
                                       { u"Set"_s, player, u"LoopStatus"_s, u"Playlist"_s },
                                       { u"Set"_s, player, u"LoopStatus"_s, u"None"_s } };
        if (!seek.isEmpty())
            expected.prepend(seek);
        QTRY_COMPARE(m_fake->calls({ u"Set"_s, u"Seek"_s, u"SetPosition"_s }), expected);
    }
};

QTEST_GUILESS_MAIN(TestMpris)
#include "test_mpris.moc"
