#include "FakeMprisPlayer.h"
#include "platform/linux/MprisDesktopPlayers.h"
#include "platform/linux/MprisProperties.h"

#include <QDBusConnection>
#include <QDBusObjectPath>
#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

#include <qcoro/qcorotask.h>

#include <cmath>
#include <limits>
#include <memory>

using namespace Qt::StringLiterals;

Q_DECLARE_METATYPE(DesktopTrack)

char *toString(const DesktopTrack &track)
{
    const QString text
        = u"{playing=%1 title=%2 artist=%3 album=%4 duration=%5 elapsed=%6 shuffle=%7 repeat=%8}"_s
              .arg(int(track.isPlaying))
              .arg(track.title.left(40), track.artist, track.album)
              .arg(track.duration)
              .arg(track.elapsed)
              .arg(int(track.shuffle))
              .arg(track.repeatMode);
    return QTest::toString(text);
}

namespace {
const QString kSpotify = MprisDesktopPlayers::spotifyBundleID();
const QString kAppleMusic = u"com.apple.Music"_s;
constexpr qlonglong kSecond = 1'000'000;
const QString kPlayer = u"org.mpris.MediaPlayer2.Player"_s;

// No value: the player does not have the property at all.
const QVariant kAbsent;

QVariant path(const QString &text) { return QVariant::fromValue(QDBusObjectPath(text)); }

// The values of a map, removing those given as kAbsent.
void apply(QVariantMap &map, const QVariantMap &changes)
{
    for (auto it = changes.cbegin(); it != changes.cend(); ++it) {
        if (it.value().isValid())
            map.insert(it.key(), it.value());
        else
            map.remove(it.key());
    }
}

QVariantMap stateInfo(const QString &state, const QString &name, const QString &artist,
                      const QString &album, double durationMs, double position)
{
    return { { u"Player State"_s, state },  { u"Name"_s, name },
             { u"Artist"_s, artist },       { u"Album"_s, album },
             { u"Duration"_s, durationMs }, { u"Playback Position"_s, position } };
}

const QVariantMap kStopped = stateInfo(u"Stopped"_s, {}, {}, {}, 0, 0);

QVariantMap postedInfo(const QSignalSpy &posted, qsizetype i) { return posted.at(i).at(1).toMap(); }
} // namespace

class TestMpris : public QObject
{
    Q_OBJECT

    QString m_connectionName;
    std::unique_ptr<FakeMprisPlayer> m_fake;
    std::unique_ptr<MprisDesktopPlayers> m_players;
    std::unique_ptr<QSignalSpy> m_posted;

    void setProperties(const QVariantMap &properties)
    {
        for (auto it = properties.cbegin(); it != properties.cend(); ++it) {
            if (it.value().isValid())
                m_fake->setPlayerProperty(it.key(), it.value());
            else
                m_fake->removePlayerProperty(it.key());
        }
    }
    void startPlaying(const QString &title = u"Song"_s)
    {
        setProperties(
            { { u"Metadata"_s, FakeMprisPlayer::metadata(title, u"Artist"_s, u"Album"_s, 215) },
              { u"PlaybackStatus"_s, u"Playing"_s },
              { u"Position"_s, 42 * kSecond } });
        QVERIFY(m_fake->start());
    }
    // A playing player and a reader that has seen it and read it once; its calls so far are
    // forgotten, and m_posted records what the reader posts from now on.
    MprisDesktopPlayers &startKnown()
    {
        startPlaying();
        m_players = std::make_unique<MprisDesktopPlayers>(QDBusConnection::sessionBus());
        [&] { QTRY_VERIFY(m_players->runningSourceIds().contains(kSpotify)); }();
        // Answers come in order, so once this read is back the first one has filled the cache.
        QCoro::waitFor(m_players->spotifyState());
        m_fake->clearCalls();
        m_posted
            = std::make_unique<QSignalSpy>(m_players.get(), &DesktopPlayers::notificationPosted);
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
        m_posted.reset();
        m_players.reset();
        m_fake.reset();
        QDBusConnection::disconnectFromBus(m_connectionName);
    }

    void metadataIdentifiers_data()
    {
        QTest::addColumn<QString>("key");
        QTest::addColumn<QVariant>("value");
        QTest::addColumn<QString>("expected"); // track ID or artwork URL; "": none
        QTest::addColumn<QString>("path"); // "": none

        const QString id = u"mpris:trackid"_s;
        const QString art = u"mpris:artUrl"_s;
        const QString huge = u"/a/"_s + QString(100'000, u'b');
        QTest::newRow("path as a string") << id << QVariant(u"/com/spotify/track/6rqh"_s)
                                          << u"6rqh"_s << u"/com/spotify/track/6rqh"_s;
        QTest::newRow("URI ending in a colon")
            << id << QVariant(u"spotify:track:"_s) << QString() << QString();
        QTest::newRow("no track") << id << path(u"/org/mpris/MediaPlayer2/TrackList/NoTrack"_s)
                                  << QString() << QString();
        QTest::newRow("not a path")
            << id << QVariant(u"/com/spotify//track/a-b"_s) << u"a-b"_s << QString();
        QTest::newRow("number") << id << QVariant(5) << QString() << QString();
        QTest::newRow("huge ID") << id << QVariant(huge) << QString() << QString();
        QTest::newRow("local file") << art << QVariant(u"file:///tmp/cover.png"_s)
                                    << u"file:///tmp/cover.png"_s << QString();
        QTest::newRow("page without image") << art << QVariant(u"https://open.spotify.com/image/"_s)
                                            << u"https://open.spotify.com/image/"_s << QString();
        QTest::newRow("empty URL") << art << QVariant(QString()) << QString() << QString();
        QTest::newRow("URL list") << art << QVariant(QStringList { u"https://i.scdn.co/image/a"_s })
                                  << QString() << QString();
        QTest::newRow("huge URL") << art << QVariant(u"https://a.example"_s + huge) << QString()
                                  << QString();
    }

    void metadataIdentifiers()
    {
        QFETCH(QString, key);
        QFETCH(QVariant, value);
        QFETCH(QString, expected);
        QFETCH(QString, path);
        const QVariantMap metadata { { key, value } };
        if (key == "mpris:artUrl"_L1) {
            QCOMPARE(MprisProperties::artworkURL(metadata).value_or(QString()), expected);
            return;
        }
        QCOMPARE(MprisProperties::trackID(metadata).value_or(QString()), expected);
        QCOMPARE(MprisProperties::trackObjectPath(metadata).value_or(QDBusObjectPath()).path(),
                 path);
    }

    void followsLaunchAndQuit()
    {
        MprisDesktopPlayers players(QDBusConnection::sessionBus());
        QSignalSpy changed(&players, &DesktopPlayers::runningPlayersChanged);
        QSignalSpy posted(&players, &DesktopPlayers::notificationPosted);
        // A read of the absent player comes back after the first question about it.
        QCOMPARE(QCoro::waitFor(players.spotifyState()), DesktopTrack());
        QVERIFY(!QCoro::waitFor(players.spotifyTrackID()).has_value());
        QVERIFY(!QCoro::waitFor(players.spotifyArtworkURL()).has_value());
        QVERIFY(players.runningSourceIds().isEmpty());
        QCOMPARE(changed.count(), 0);
        QCOMPARE(players.requestAutomationPermission(kSpotify, true),
                 PlayerAuthStatus::Unavailable);

        QVariantMap metadata = FakeMprisPlayer::metadata(u"Song"_s, u"Artist"_s, u"Album"_s, 215);
        metadata.insert(u"mpris:artUrl"_s, u"https://open.spotify.com/image/ab67616d"_s);
        m_fake->setPlayerProperty(u"Metadata"_s, metadata);
        QVERIFY(m_fake->start());
        QTRY_COMPARE(changed.count(), 1);
        QCOMPARE(players.runningSourceIds(), QSet<QString> { kSpotify });
        QCOMPARE(players.requestAutomationPermission(kSpotify, true), PlayerAuthStatus::Authorized);
        QCOMPARE(QCoro::waitFor(players.spotifyTrackID()).value_or(QString()), u"1"_s);
        QCOMPARE(QCoro::waitFor(players.spotifyArtworkURL()).value_or(QString()),
                 u"https://i.scdn.co/image/ab67616d"_s);
        metadata.insert(u"mpris:trackid"_s, u"spotify:track:4uLU6hMCjMI75M1A2tKUQC"_s);
        m_fake->setPlayerProperty(u"Metadata"_s, metadata);
        QCOMPARE(QCoro::waitFor(players.spotifyTrackID()).value_or(QString()),
                 u"4uLU6hMCjMI75M1A2tKUQC"_s);
        QCOMPARE(posted.count(), 0);

        m_fake->quit();
        QTRY_COMPARE(changed.count(), 2);
        QVERIFY(players.runningSourceIds().isEmpty());
        QCOMPARE(players.requestAutomationPermission(kSpotify, false),
                 PlayerAuthStatus::Unavailable);
        // The quit is posted as a stop, which is what lets a shown track go.
        QCOMPARE(posted.count(), 1);
        QCOMPARE(postedInfo(posted, 0), kStopped);

        QVERIFY(m_fake->start());
        QTRY_COMPARE(changed.count(), 3);
        QCOMPARE(players.runningSourceIds(), QSet<QString> { kSpotify });
        QCoro::waitFor(players.spotifyState());
        m_fake->clearCalls();

        // A player running before Vesper looks is found too, and its properties cached at once.
        MprisDesktopPlayers later(QDBusConnection::sessionBus());
        QSignalSpy laterChanged(&later, &DesktopPlayers::runningPlayersChanged);
        QVERIFY(later.runningSourceIds().isEmpty());
        QTRY_COMPARE(laterChanged.count(), 1);
        QCOMPARE(later.runningSourceIds(), QSet<QString> { kSpotify });
        QTRY_COMPARE(m_fake->callCount(u"GetAll"_s), 1);
    }

    void readsState_data()
    {
        // Changes to a player playing "Song" by "A" and "B" on "Album", 215 s long, 42.5 s in,
        // shuffled, repeating the playlist. Keys with a colon are the track's metadata.
        QTest::addColumn<QVariantMap>("changes");
        QTest::addColumn<DesktopTrack>("expected");

        const DesktopTrack playing { true, u"Song"_s, u"A, B"_s, u"Album"_s,
                                     215,  42.5,      true,      RepeatMode::All };
        const auto with = [&playing](auto change) {
            DesktopTrack track = playing;
            change(track);
            return track;
        };
        const DesktopTrack bare { true, u"Song"_s, {}, {}, 0, 0, false, RepeatMode::Off };
        const auto one = [](const QString &key, const QVariant &value) {
            return QVariantMap { { key, value } };
        };
        const QString status = u"PlaybackStatus"_s;
        const QString title = u"xesam:title"_s;

        QTest::newRow("playing") << QVariantMap() << playing;
        QTest::newRow("paused") << one(status, u"Paused"_s)
                                << with([](DesktopTrack &t) { t.isPlaying = false; });
        QTest::newRow("stopped") << one(status, u"Stopped"_s) << DesktopTrack();
        QTest::newRow("no title") << one(title, kAbsent) << DesktopTrack();
        QTest::newRow("repeating the track is repeating all")
            << one(u"LoopStatus"_s, u"Track"_s) << playing;
        QTest::newRow("not repeating")
            << QVariantMap { { u"LoopStatus"_s, u"None"_s }, { u"Shuffle"_s, false } }
            << with([](DesktopTrack &t) {
                   t.repeatMode = RepeatMode::Off;
                   t.shuffle = false;
               });
        QTest::newRow("Spotify's types")
            << QVariantMap { { u"Position"_s, int(42'500'000) },
                             { u"mpris:trackid"_s, u"spotify:track:6rqh"_s },
                             { u"mpris:length"_s, uint(215'000'000) },
                             { u"xesam:artist"_s, u"A, B"_s } }
            << playing;
        QTest::newRow("unsigned and floating lengths")
            << QVariantMap { { u"Position"_s, 42'500'000.0 },
                             { u"mpris:length"_s, qulonglong(215'000'000) } }
            << playing;
        QTest::newRow("artists as variants")
            << one(u"xesam:artist"_s, QVariantList { u"A"_s, 7, u"B"_s }) << playing;
        QTest::newRow("missing properties")
            << QVariantMap { { u"Position"_s, kAbsent },     { u"Shuffle"_s, kAbsent },
                             { u"LoopStatus"_s, kAbsent },   { u"mpris:length"_s, kAbsent },
                             { u"xesam:artist"_s, kAbsent }, { u"xesam:album"_s, kAbsent } }
            << bare;
        QTest::newRow("wrong types") << QVariantMap {
            { u"Position"_s, u"42"_s }, { u"Shuffle"_s, u"true"_s },
            { u"LoopStatus"_s, 2 },     { u"mpris:length"_s, true },
            { u"xesam:artist"_s, 5 },   { u"xesam:album"_s, QStringList { u"Album"_s } }
        } << bare;
        QTest::newRow("nonsense numbers")
            << QVariantMap { { u"Position"_s, -3 * kSecond }, { u"mpris:length"_s, std::nan("") } }
            << with([](DesktopTrack &t) { t.duration = t.elapsed = 0; });
        QTest::newRow("absurd numbers") << QVariantMap {
            { u"Position"_s, std::numeric_limits<qlonglong>::max() }, { u"mpris:length"_s, 1e300 }
        } << with([](DesktopTrack &t) { t.duration = t.elapsed = MprisProperties::maxSeconds(); });
        // A surrogate pair straddles the cut.
        const QString kept(MprisProperties::maxTextLength() - 1, u'x');
        QTest::newRow("10 MB title") << one(
            title, QString(kept + QString::fromUtf8("\U0001F3B5") + QString(10'000'000, u'y')))
                                     << with([&kept](DesktopTrack &t) { t.title = kept; });
    }

    void readsState()
    {
        QFETCH(QVariantMap, changes);
        QFETCH(DesktopTrack, expected);

        QVariantMap metadata = FakeMprisPlayer::metadata(u"Song"_s, {}, u"Album"_s, 215);
        metadata.insert(u"xesam:artist"_s, QStringList { u"A"_s, u"B"_s });
        QVariantMap properties = { { u"PlaybackStatus"_s, u"Playing"_s },
                                   { u"Position"_s, 42'500'000LL },
                                   { u"Shuffle"_s, true },
                                   { u"LoopStatus"_s, u"Playlist"_s } };
        for (auto it = changes.cbegin(); it != changes.cend(); ++it)
            apply(it.key().contains(u':') ? metadata : properties, { { it.key(), it.value() } });
        properties.insert(u"Metadata"_s, metadata);
        setProperties(properties);
        QVERIFY(m_fake->start());

        MprisDesktopPlayers players(QDBusConnection::sessionBus());
        QCOMPARE(QCoro::waitFor(players.spotifyState()), expected);
    }

    void changeIsPostedWithTheWholeState()
    {
        startKnown();
        QSignalSpy &posted = *m_posted;

        // The player moved on without saying so; the change names nothing but the status.
        m_fake->setPlayerProperty(u"Position"_s, 61'250'000LL);
        m_fake->changePlayerProperties({ { u"PlaybackStatus"_s, u"Paused"_s } });
        QTRY_COMPARE(posted.count(), 1);
        QCOMPARE(posted.at(0).at(0).toString(), DesktopPlayers::spotifyNotification());
        QCOMPARE(postedInfo(posted, 0),
                 stateInfo(u"Paused"_s, u"Song"_s, u"Artist"_s, u"Album"_s, 215'000, 61.25));
        QCOMPARE(m_fake->callCount(u"Get"_s, u"Position"_s), 1);
        QCOMPARE(m_fake->callCount(u"GetAll"_s), 0);

        m_fake->changePlayerProperties(
            { { u"Metadata"_s,
                FakeMprisPlayer::metadata(u"Next"_s, u"Other"_s, u"Record"_s, 180.5, u"2"_s) },
              { u"PlaybackStatus"_s, u"Playing"_s } });
        QTRY_COMPARE(posted.count(), 2);
        QCOMPARE(postedInfo(posted, 1),
                 stateInfo(u"Playing"_s, u"Next"_s, u"Other"_s, u"Record"_s, 180'500, 61.25));

        // An invalidated property has no value to merge: everything is read again.
        QVariantMap metadata = FakeMprisPlayer::metadata(u"Third"_s, u"X"_s, u"Y"_s, 60, u"3"_s);
        m_fake->setPlayerProperty(u"Metadata"_s, metadata);
        m_fake->emitPropertiesChanged({}, { u"Metadata"_s });
        QTRY_COMPARE(posted.count(), 3);
        QCOMPARE(postedInfo(posted, 2).value(u"Name"_s), u"Third"_s);
        QCOMPARE(m_fake->callCount(u"GetAll"_s), 1);

        // Changes of another interface are not the player's; values of wrong types read as none.
        m_fake->emitPropertiesChanged({ { u"Identity"_s, u"Other"_s } }, {},
                                      u"org.mpris.MediaPlayer2"_s);
        m_fake->emitPropertiesChanged({ { u"Metadata"_s, u"Song"_s }, { u"PlaybackStatus"_s, 3 } });
        QTRY_COMPARE(posted.count(), 4);
        QCOMPARE(postedInfo(posted, 3), stateInfo(u"Stopped"_s, {}, {}, {}, 0, 61.25));

        metadata = FakeMprisPlayer::metadata(u"Again"_s, {}, u"Album"_s, 100);
        metadata.insert(u"xesam:artist"_s, u"Solo"_s);
        metadata.insert(u"mpris:length"_s, int(100 * kSecond));
        m_fake->setPlayerProperty(u"Position"_s, int(12 * kSecond));
        m_fake->changePlayerProperties(
            { { u"Metadata"_s, metadata }, { u"PlaybackStatus"_s, u"Playing"_s } });
        QTRY_COMPARE(posted.count(), 5);
        QCOMPARE(postedInfo(posted, 4),
                 stateInfo(u"Playing"_s, u"Again"_s, u"Solo"_s, u"Album"_s, 100'000, 12));

        // Without a position to read, the last seek stands, and nothing is read in full.
        m_fake->emitSeeked(30 * kSecond);
        m_fake->removePlayerProperty(u"Position"_s);
        m_fake->changePlayerProperties({ { u"PlaybackStatus"_s, u"Paused"_s } });
        QTRY_COMPARE(posted.count(), 6);
        QCOMPARE(postedInfo(posted, 5).value(u"Playback Position"_s), 30.0);
        QCOMPARE(m_fake->callCount(u"GetAll"_s), 1);
    }

    void floodOfChangesIsCoalesced()
    {
        startKnown();
        QSignalSpy &posted = *m_posted;

        for (int i = 0; i < 300; ++i) {
            m_fake->changePlayerProperties(
                { { u"Metadata"_s,
                    FakeMprisPlayer::metadata(u"Song %1"_s.arg(i), u"Artist"_s, u"Album"_s, 215,
                                              QString::number(i)) } });
        }
        m_fake->changePlayerProperties({ { u"PlaybackStatus"_s, u"Paused"_s } });
        QTRY_VERIFY(!posted.isEmpty()
                    && postedInfo(posted, posted.size() - 1).value(u"Player State"_s)
                        == u"Paused"_s);
        // Nothing more is on its way.
        QTest::qWait(300);
        const int reads
            = m_fake->callCount(u"Get"_s, u"Position"_s) + m_fake->callCount(u"GetAll"_s);
        QVERIFY2(reads <= 2, qPrintable(u"%1 reads"_s.arg(reads)));
        QCOMPARE(posted.count(), reads);
        QCOMPARE(postedInfo(posted, posted.size() - 1),
                 stateInfo(u"Paused"_s, u"Song 299"_s, u"Artist"_s, u"Album"_s, 215'000, 42));
    }

    void commandsReachThePlayer()
    {
        MprisDesktopPlayers &players = startKnown();

        // Apple Music has no player: every identifier but Spotify's addresses it, and none of
        // that reaches Spotify.
        QCOMPARE(QCoro::waitFor(players.appleMusicState()), DesktopTrack());
        QVERIFY(!QCoro::waitFor(players.appleMusicArtwork()).has_value());
        QVERIFY(!QCoro::waitFor(players.appleMusicIsLiked()));
        for (const QString &sourceId : { kAppleMusic, QString(), u"com.spotify.clients"_s }) {
            players.playPause(sourceId);
            players.nextTrack(sourceId);
            players.previousTrack(sourceId);
            players.setPosition(sourceId, 10);
            players.setShuffle(sourceId, true);
            players.setRepeatMode(sourceId, RepeatMode::One);
            QCOMPARE(players.requestAutomationPermission(sourceId, true),
                     PlayerAuthStatus::Unavailable);
        }
        players.appleMusicSetLiked(true);

        players.playPause(kSpotify);
        players.nextTrack(kSpotify);
        players.previousTrack(kSpotify);
        players.setShuffle(kSpotify, true);
        players.setRepeatMode(kSpotify, RepeatMode::One);
        players.setRepeatMode(kSpotify, RepeatMode::Off);
        // The player announces what changed, and reads of the position follow: only commands
        // count.
        const auto commands = [this] {
            QList<QVariantList> found;
            for (const FakeMprisPlayer::Call &call : m_fake->calls()) {
                if (call.member != "Get"_L1 && call.member != "GetAll"_L1)
                    found.append(QVariantList { call.member } + call.arguments);
            }
            return found;
        };
        QTRY_COMPARE(commands().size(), 6);
        const QList<QVariantList> expected {
            { u"PlayPause"_s },
            { u"Next"_s },
            { u"Previous"_s },
            { u"Set"_s, kPlayer, u"Shuffle"_s, true },
            { u"Set"_s, kPlayer, u"LoopStatus"_s, u"Playlist"_s },
            { u"Set"_s, kPlayer, u"LoopStatus"_s, u"None"_s },
        };
        QCOMPARE(commands(), expected);
        QCOMPARE(m_fake->playerProperty(u"PlaybackStatus"_s), u"Paused"_s);
    }

    void setPositionAddressesTheTrack_data()
    {
        QTest::addColumn<QVariant>("trackID");
        QTest::addColumn<QVariant>("position");
        QTest::addColumn<double>("seconds");
        QTest::addColumn<QVariantList>("sent"); // member and arguments; empty: nothing is sent

        const QVariant track = path(u"/com/spotify/track/abc"_s);
        const QVariant tenSeconds(10 * kSecond);
        QTest::newRow("object path") << track << tenSeconds << 90.0
                                     << QVariantList { u"SetPosition"_s, track, 90 * kSecond };
        QTest::newRow("path as a string")
            << QVariant(u"/com/spotify/track/abc"_s) << tenSeconds << 90.25
            << QVariantList { u"SetPosition"_s, track, 90'250'000LL };
        QTest::newRow("URI: relative seek") << QVariant(u"spotify:track:abc"_s) << tenSeconds
                                            << 90.0 << QVariantList { u"Seek"_s, 80 * kSecond };
        QTest::newRow("no track ID, position as i")
            << kAbsent << QVariant(int(100 * kSecond)) << 90.0
            << QVariantList { u"Seek"_s, -10 * kSecond };
        QTest::newRow("no track") << path(u"/org/mpris/MediaPlayer2/TrackList/NoTrack"_s)
                                  << QVariant(0LL) << 5.0
                                  << QVariantList { u"Seek"_s, 5 * kSecond };
        QTest::newRow("before the start")
            << track << QVariant(0LL) << -4.0 << QVariantList { u"SetPosition"_s, track, 0LL };
        QTest::newRow("URI without a position")
            << QVariant(u"spotify:track:abc"_s) << kAbsent << 90.0 << QVariantList();
        QTest::newRow("not a number") << track << QVariant(0LL) << std::nan("") << QVariantList();
    }

    void setPositionAddressesTheTrack()
    {
        QFETCH(QVariant, trackID);
        QFETCH(QVariant, position);
        QFETCH(double, seconds);
        QFETCH(QVariantList, sent);

        QVariantMap metadata = FakeMprisPlayer::metadata(u"Song"_s, u"Artist"_s, u"Album"_s, 215);
        apply(metadata, { { u"mpris:trackid"_s, trackID } });
        startPlaying();
        setProperties({ { u"Metadata"_s, metadata }, { u"Position"_s, position } });
        MprisDesktopPlayers players(QDBusConnection::sessionBus());
        QTRY_VERIFY(players.runningSourceIds().contains(kSpotify));
        m_fake->clearCalls();

        players.setPosition(kSpotify, seconds);
        // Answers come in order: once this read is back, the seek has been sent if it ever will.
        QCoro::waitFor(players.spotifyState());
        players.nextTrack(kSpotify);
        QTRY_COMPARE(m_fake->callCount(u"Next"_s), 1);
        QList<QVariantList> seeks;
        for (const FakeMprisPlayer::Call &call : m_fake->calls()) {
            if (call.member == "Seek"_L1 || call.member == "SetPosition"_L1)
                seeks.append(QVariantList { call.member } + call.arguments);
        }
        QCOMPARE(seeks, sent.isEmpty() ? QList<QVariantList>() : QList<QVariantList> { sent });
    }

    void hungPlayerDoesNotBlock()
    {
        MprisDesktopPlayers &players = startKnown();
        QSignalSpy &posted = *m_posted;
        m_fake->setAnswering(false);

        int ticks = 0;
        QTimer timer;
        connect(&timer, &QTimer::timeout, this, [&ticks] { ++ticks; });
        timer.start(20);
        QElapsedTimer clock;
        clock.start();
        players.playPause(kSpotify);
        players.setShuffle(kSpotify, true);
        players.setPosition(kSpotify, 12);
        QVERIFY(clock.elapsed() < 100);

        QCOMPARE(QCoro::waitFor(players.spotifyState()), DesktopTrack());
        const qint64 waited = clock.elapsed();
        QVERIFY2(waited >= MprisDesktopPlayers::callTimeoutMs() - 100,
                 qPrintable(QString::number(waited)));
        QVERIFY2(waited < MprisDesktopPlayers::callTimeoutMs() + 1500,
                 qPrintable(QString::number(waited)));
        QVERIFY2(ticks >= 20, qPrintable(u"%1 ticks"_s.arg(ticks)));

        // A change still reaches the aggregator, with the last position known.
        m_fake->changePlayerProperties({ { u"PlaybackStatus"_s, u"Paused"_s } });
        QTRY_COMPARE_WITH_TIMEOUT(posted.count(), 1, MprisDesktopPlayers::callTimeoutMs() + 3000);
        QCOMPARE(postedInfo(posted, 0),
                 stateInfo(u"Paused"_s, u"Song"_s, u"Artist"_s, u"Album"_s, 215'000, 42));
        QVERIFY(players.runningSourceIds().contains(kSpotify));

        // Destroyed while calls are out: they end when the player goes, touching nothing.
        m_fake->clearCalls();
        QCoro::Task<DesktopTrack> state = players.spotifyState();
        QCoro::Task<std::optional<QString>> id = players.spotifyTrackID();
        players.setPosition(kSpotify, 3);
        m_fake->changePlayerProperties({ { u"PlaybackStatus"_s, u"Playing"_s } });
        QTRY_COMPARE(m_fake->calls().size(), 4);
        m_posted.reset();
        m_players.reset();
        m_fake->quit();
        QCOMPARE(QCoro::waitFor(state), DesktopTrack());
        QVERIFY(!QCoro::waitFor(id).has_value());
    }

    void playerQuitsMidCall()
    {
        MprisDesktopPlayers &players = startKnown();
        QSignalSpy &posted = *m_posted;
        QSignalSpy changed(&players, &DesktopPlayers::runningPlayersChanged);

        m_fake->setAnswering(false);
        QCoro::Task<DesktopTrack> state = players.spotifyState();
        m_fake->changePlayerProperties({ { u"PlaybackStatus"_s, u"Paused"_s } });
        QTRY_COMPARE(m_fake->callCount(u"Get"_s, u"Position"_s), 1);
        QCOMPARE(m_fake->callCount(u"GetAll"_s), 1);

        QElapsedTimer clock;
        clock.start();
        m_fake->quit();
        QCOMPARE(QCoro::waitFor(state), DesktopTrack());
        QVERIFY(clock.elapsed() < MprisDesktopPlayers::callTimeoutMs());
        QTRY_COMPARE(changed.count(), 1);
        QVERIFY(players.runningSourceIds().isEmpty());
        QTest::qWait(100);
        // The stop is the only broadcast: the answer to the read it interrupted is dropped.
        QCOMPARE(posted.count(), 1);
        QCOMPARE(postedInfo(posted, 0), kStopped);

        // The next instance of the player starts from a clean slate.
        m_fake->setAnswering(true);
        startPlaying(u"Back"_s);
        QTRY_COMPARE(changed.count(), 2);
        QCOMPARE(QCoro::waitFor(players.spotifyState()).title, u"Back"_s);
        m_fake->changePlayerProperties({ { u"PlaybackStatus"_s, u"Paused"_s } });
        QTRY_COMPARE(posted.count(), 2);
        QCOMPARE(postedInfo(posted, 1).value(u"Name"_s), u"Back"_s);
    }
};

QTEST_GUILESS_MAIN(TestMpris)
#include "test_mpris.moc"
