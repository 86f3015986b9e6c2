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

// No value: the player does not have the property at all.
const QVariant kAbsent;

DesktopTrack track(bool playing, const QString &title, const QString &artist, const QString &album,
                   double duration, double elapsed, bool shuffle = false,
                   int repeatMode = RepeatMode::Off)
{
    return { playing, title, artist, album, duration, elapsed, shuffle, repeatMode };
}

QVariantMap stateInfo(const QString &state, const QString &name, const QString &artist,
                      const QString &album, double durationMs, double position)
{
    return { { u"Player State"_s, state },  { u"Name"_s, name },
             { u"Artist"_s, artist },       { u"Album"_s, album },
             { u"Duration"_s, durationMs }, { u"Playback Position"_s, position } };
}
} // namespace

class TestMpris : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void init();
    void cleanup();

    void trackIDs_data();
    void trackIDs();
    void artworkURLs_data();
    void artworkURLs();

    void followsLaunchAndQuit();
    void findsAPlayerAlreadyRunning();
    void readsState_data();
    void readsState();
    void readsTrackIDAndArtwork();
    void appleMusicHasNoPlayer();

    void changeIsPostedWithTheWholeState();
    void positionFallsBackToTheLastSeek();
    void floodOfChangesIsCoalesced();
    void changesOfWrongTypesStaySane();

    void commandsReachThePlayer();
    void setPositionAddressesTheTrack_data();
    void setPositionAddressesTheTrack();

    void hungPlayerDoesNotBlock();
    void playerQuitsMidCall();
    void destroyedWhileCallsAreInFlight();

private:
    void startPlaying(const QString &title = u"Song"_s);
    // Waits until the players have seen the fake and read it once, then forgets its calls.
    void waitUntilKnown(MprisDesktopPlayers &players);

    QString m_connectionName;
    std::unique_ptr<FakeMprisPlayer> m_fake;
};

void TestMpris::init()
{
    static int counter = 0;
    m_connectionName = u"fake-mpris-%1"_s.arg(++counter);
    m_fake = std::make_unique<FakeMprisPlayer>(
        QDBusConnection::connectToBus(QDBusConnection::SessionBus, m_connectionName));
}

void TestMpris::cleanup()
{
    m_fake.reset();
    QDBusConnection::disconnectFromBus(m_connectionName);
}

void TestMpris::startPlaying(const QString &title)
{
    m_fake->setPlayerProperty(u"Metadata"_s,
                              FakeMprisPlayer::metadata(title, u"Artist"_s, u"Album"_s, 215));
    m_fake->setPlayerProperty(u"PlaybackStatus"_s, u"Playing"_s);
    m_fake->setPlayerProperty(u"Position"_s, 42 * kSecond);
    QVERIFY(m_fake->start());
}

void TestMpris::waitUntilKnown(MprisDesktopPlayers &players)
{
    QTRY_VERIFY(players.runningBundleIDs().contains(kSpotify));
    // Answers come in order, so once this read is back the first one has filled the cache.
    QCOMPARE(QCoro::waitFor(players.spotifyState()).title.isEmpty(), false);
    m_fake->clearCalls();
}

void TestMpris::trackIDs_data()
{
    QTest::addColumn<QVariant>("trackID");
    QTest::addColumn<QString>("id"); // "": none
    QTest::addColumn<QString>("path"); // "": none

    const auto path = [](const QString &p) { return QVariant::fromValue(QDBusObjectPath(p)); };
    QTest::newRow("URI") << QVariant(u"spotify:track:6rqhFgbbKwnb9MLmUQDhG6"_s)
                         << u"6rqhFgbbKwnb9MLmUQDhG6"_s << QString();
    QTest::newRow("object path") << path(u"/com/spotify/track/6rqh"_s) << u"6rqh"_s
                                 << u"/com/spotify/track/6rqh"_s;
    QTest::newRow("path as a string")
        << QVariant(u"/com/spotify/track/6rqh"_s) << u"6rqh"_s << u"/com/spotify/track/6rqh"_s;
    QTest::newRow("bare") << QVariant(u"6rqh"_s) << u"6rqh"_s << QString();
    QTest::newRow("URI ending in a colon")
        << QVariant(u"spotify:track:"_s) << QString() << QString();
    QTest::newRow("no track") << path(u"/org/mpris/MediaPlayer2/TrackList/NoTrack"_s) << QString()
                              << QString();
    QTest::newRow("not a path") << QVariant(u"/com/spotify//track/a-b"_s) << u"a-b"_s << QString();
    QTest::newRow("empty") << QVariant(QString()) << QString() << QString();
    QTest::newRow("number") << QVariant(5) << QString() << QString();
    QTest::newRow("absent") << QVariant() << QString() << QString();
    QTest::newRow("huge") << QVariant(u"/a/"_s + QString(100'000, u'b')) << QString() << QString();
}

void TestMpris::trackIDs()
{
    QFETCH(QVariant, trackID);
    QFETCH(QString, id);
    QFETCH(QString, path);
    QVariantMap metadata;
    if (trackID.isValid())
        metadata.insert(u"mpris:trackid"_s, trackID);
    QCOMPARE(MprisProperties::trackID(metadata).value_or(QString()), id);
    QCOMPARE(MprisProperties::trackObjectPath(metadata).value_or(QDBusObjectPath()).path(), path);
}

void TestMpris::artworkURLs_data()
{
    QTest::addColumn<QVariant>("artUrl");
    QTest::addColumn<QString>("url"); // "": none

    QTest::newRow("Spotify page") << QVariant(u"https://open.spotify.com/image/ab67616d0000b273"_s)
                                  << u"https://i.scdn.co/image/ab67616d0000b273"_s;
    QTest::newRow("image host") << QVariant(u"https://i.scdn.co/image/ab67"_s)
                                << u"https://i.scdn.co/image/ab67"_s;
    QTest::newRow("local file") << QVariant(u"file:///tmp/cover.png"_s)
                                << u"file:///tmp/cover.png"_s;
    QTest::newRow("page without image")
        << QVariant(u"https://open.spotify.com/image/"_s) << u"https://open.spotify.com/image/"_s;
    QTest::newRow("empty") << QVariant(QString()) << QString();
    QTest::newRow("list") << QVariant(QStringList { u"https://i.scdn.co/image/ab67"_s })
                          << QString();
    QTest::newRow("absent") << QVariant() << QString();
}

void TestMpris::artworkURLs()
{
    QFETCH(QVariant, artUrl);
    QFETCH(QString, url);
    QVariantMap metadata;
    if (artUrl.isValid())
        metadata.insert(u"mpris:artUrl"_s, artUrl);
    QCOMPARE(MprisProperties::artworkURL(metadata).value_or(QString()), url);
}

void TestMpris::followsLaunchAndQuit()
{
    MprisDesktopPlayers players(QDBusConnection::sessionBus());
    QSignalSpy changed(&players, &DesktopPlayers::runningPlayersChanged);
    QSignalSpy posted(&players, &DesktopPlayers::notificationPosted);
    // A read of the absent player comes back after the first question about it.
    QCOMPARE(QCoro::waitFor(players.spotifyState()), DesktopTrack());
    QVERIFY(players.runningBundleIDs().isEmpty());
    QCOMPARE(changed.count(), 0);
    QCOMPARE(players.requestAutomationPermission(kSpotify, true), PlayerAuthStatus::Unavailable);

    startPlaying();
    QTRY_COMPARE(changed.count(), 1);
    QCOMPARE(players.runningBundleIDs(), QSet<QString> { kSpotify });
    QCOMPARE(players.requestAutomationPermission(kSpotify, true), PlayerAuthStatus::Authorized);
    QCOMPARE(players.requestAutomationPermission(kAppleMusic, true), PlayerAuthStatus::Unavailable);
    QCOMPARE(posted.count(), 0);

    m_fake->quit();
    QTRY_COMPARE(changed.count(), 2);
    QVERIFY(players.runningBundleIDs().isEmpty());
    QCOMPARE(players.requestAutomationPermission(kSpotify, false), PlayerAuthStatus::Unavailable);
    // The quit is posted as a stop, which is what lets a shown track go.
    QCOMPARE(posted.count(), 1);
    QCOMPARE(posted.at(0).at(1).toMap(), stateInfo(u"Stopped"_s, {}, {}, {}, 0, 0));

    QVERIFY(m_fake->start());
    QTRY_COMPARE(changed.count(), 3);
    QCOMPARE(players.runningBundleIDs(), QSet<QString> { kSpotify });
}

void TestMpris::findsAPlayerAlreadyRunning()
{
    startPlaying();
    MprisDesktopPlayers players(QDBusConnection::sessionBus());
    QSignalSpy changed(&players, &DesktopPlayers::runningPlayersChanged);
    QVERIFY(players.runningBundleIDs().isEmpty());
    QTRY_COMPARE(changed.count(), 1);
    QCOMPARE(players.runningBundleIDs(), QSet<QString> { kSpotify });
    // Its properties are cached from the start.
    QTRY_COMPARE(m_fake->callCount(u"GetAll"_s), 1);
}

void TestMpris::readsState_data()
{
    // Player properties that differ from a playing track "Song" by "A" and "B" on "Album",
    // 215 s long, 42.5 s in, shuffled, repeating the playlist.
    QTest::addColumn<QVariantMap>("changes");
    QTest::addColumn<QVariantMap>("metadataChanges");
    QTest::addColumn<DesktopTrack>("expected");

    const DesktopTrack playing
        = track(true, u"Song"_s, u"A, B"_s, u"Album"_s, 215, 42.5, true, RepeatMode::All);
    auto with = [](DesktopTrack base, auto change) {
        change(base);
        return base;
    };

    QTest::newRow("playing") << QVariantMap() << QVariantMap() << playing;
    QTest::newRow("paused") << QVariantMap { { u"PlaybackStatus"_s, u"Paused"_s } } << QVariantMap()
                            << with(playing, [](DesktopTrack &t) { t.isPlaying = false; });
    QTest::newRow("stopped") << QVariantMap { { u"PlaybackStatus"_s, u"Stopped"_s } }
                             << QVariantMap() << DesktopTrack();
    QTest::newRow("unknown status") << QVariantMap { { u"PlaybackStatus"_s, u"Buffering"_s } }
                                    << QVariantMap() << DesktopTrack();
    QTest::newRow("status of another type")
        << QVariantMap { { u"PlaybackStatus"_s, 1 } } << QVariantMap() << DesktopTrack();
    QTest::newRow("no title") << QVariantMap() << QVariantMap { { u"xesam:title"_s, kAbsent } }
                              << DesktopTrack();
    QTest::newRow("empty title") << QVariantMap() << QVariantMap { { u"xesam:title"_s, QString() } }
                                 << DesktopTrack();
    QTest::newRow("metadata of another type")
        << QVariantMap { { u"Metadata"_s, u"Song"_s } } << QVariantMap() << DesktopTrack();
    QTest::newRow("repeating the track is repeating all")
        << QVariantMap { { u"LoopStatus"_s, u"Track"_s } } << QVariantMap() << playing;
    QTest::newRow("not repeating")
        << QVariantMap { { u"LoopStatus"_s, u"None"_s }, { u"Shuffle"_s, false } } << QVariantMap()
        << with(playing, [](DesktopTrack &t) {
               t.repeatMode = RepeatMode::Off;
               t.shuffle = false;
           });
    QTest::newRow("Spotify's types")
        << QVariantMap { { u"Position"_s, int(42'500'000) } }
        << QVariantMap { { u"mpris:trackid"_s, u"spotify:track:6rqh"_s },
                         { u"mpris:length"_s, uint(215'000'000) },
                         { u"xesam:artist"_s, u"A, B"_s } }
        << playing;
    QTest::newRow("unsigned and floating lengths")
        << QVariantMap { { u"Position"_s, 42'500'000.0 } }
        << QVariantMap { { u"mpris:length"_s, qulonglong(215'000'000) } } << playing;
    QTest::newRow("artists as variants")
        << QVariantMap()
        << QVariantMap { { u"xesam:artist"_s, QVariantList { u"A"_s, 7, u"B"_s } } } << playing;
    QTest::newRow("missing properties") << QVariantMap { { u"Position"_s, kAbsent },
                                                         { u"Shuffle"_s, kAbsent },
                                                         { u"LoopStatus"_s, kAbsent } }
                                        << QVariantMap { { u"mpris:length"_s, kAbsent },
                                                         { u"xesam:artist"_s, kAbsent },
                                                         { u"xesam:album"_s, kAbsent } }
                                        << track(true, u"Song"_s, {}, {}, 0, 0);
    QTest::newRow("wrong types") << QVariantMap { { u"Position"_s, u"42"_s },
                                                  { u"Shuffle"_s, u"true"_s },
                                                  { u"LoopStatus"_s, 2 } }
                                 << QVariantMap { { u"mpris:length"_s, true },
                                                  { u"xesam:artist"_s, 5 },
                                                  { u"xesam:album"_s, QStringList { u"Album"_s } } }
                                 << track(true, u"Song"_s, {}, {}, 0, 0);
    QTest::newRow("nonsense numbers")
        << QVariantMap { { u"Position"_s, -3 * kSecond } }
        << QVariantMap { { u"mpris:length"_s, std::nan("") } }
        << with(playing, [](DesktopTrack &t) { t.duration = t.elapsed = 0; });
    QTest::newRow("absurd numbers")
        << QVariantMap { { u"Position"_s, std::numeric_limits<qlonglong>::max() } }
        << QVariantMap { { u"mpris:length"_s, 1e300 } } << with(playing, [](DesktopTrack &t) {
               t.duration = t.elapsed = MprisProperties::maxSeconds();
           });
    // A surrogate pair straddles the cut.
    const QString longTitle = QString(MprisProperties::maxTextLength() - 1, u'x')
        + QString::fromUtf8("\U0001F3B5") + QString(10'000'000, u'y');
    QTest::newRow("10 MB title") << QVariantMap() << QVariantMap { { u"xesam:title"_s, longTitle } }
                                 << with(playing, [](DesktopTrack &t) {
                                        t.title
                                            = QString(MprisProperties::maxTextLength() - 1, u'x');
                                    });
}

void TestMpris::readsState()
{
    QFETCH(QVariantMap, changes);
    QFETCH(QVariantMap, metadataChanges);
    QFETCH(DesktopTrack, expected);

    QVariantMap metadata = FakeMprisPlayer::metadata(u"Song"_s, {}, u"Album"_s, 215);
    metadata.insert(u"xesam:artist"_s, QStringList { u"A"_s, u"B"_s });
    for (auto it = metadataChanges.cbegin(); it != metadataChanges.cend(); ++it) {
        if (it.value().isValid())
            metadata.insert(it.key(), it.value());
        else
            metadata.remove(it.key());
    }
    QVariantMap properties = {
        { u"PlaybackStatus"_s, u"Playing"_s }, { u"Metadata"_s, metadata },
        { u"Position"_s, 42'500'000LL },       { u"Shuffle"_s, true },
        { u"LoopStatus"_s, u"Playlist"_s },
    };
    properties.insert(changes);
    for (auto it = properties.cbegin(); it != properties.cend(); ++it) {
        if (it.value().isValid())
            m_fake->setPlayerProperty(it.key(), it.value());
        else
            m_fake->removePlayerProperty(it.key());
    }
    QVERIFY(m_fake->start());

    MprisDesktopPlayers players(QDBusConnection::sessionBus());
    QCOMPARE(QCoro::waitFor(players.spotifyState()), expected);
}

void TestMpris::readsTrackIDAndArtwork()
{
    MprisDesktopPlayers players(QDBusConnection::sessionBus());
    QVERIFY(!QCoro::waitFor(players.spotifyTrackID()).has_value());
    QVERIFY(!QCoro::waitFor(players.spotifyArtworkURL()).has_value());

    QVariantMap metadata = FakeMprisPlayer::metadata(u"Song"_s, u"Artist"_s, u"Album"_s, 215);
    metadata.insert(u"mpris:artUrl"_s, u"https://open.spotify.com/image/ab67616d"_s);
    m_fake->setPlayerProperty(u"Metadata"_s, metadata);
    QVERIFY(m_fake->start());
    QCOMPARE(QCoro::waitFor(players.spotifyTrackID()).value_or(QString()), u"1"_s);
    QCOMPARE(QCoro::waitFor(players.spotifyArtworkURL()).value_or(QString()),
             u"https://i.scdn.co/image/ab67616d"_s);

    metadata.insert(u"mpris:trackid"_s, u"spotify:track:4uLU6hMCjMI75M1A2tKUQC"_s);
    m_fake->setPlayerProperty(u"Metadata"_s, metadata);
    QCOMPARE(QCoro::waitFor(players.spotifyTrackID()).value_or(QString()),
             u"4uLU6hMCjMI75M1A2tKUQC"_s);
}

void TestMpris::appleMusicHasNoPlayer()
{
    startPlaying();
    MprisDesktopPlayers players(QDBusConnection::sessionBus());
    waitUntilKnown(players);
    QCOMPARE(QCoro::waitFor(players.appleMusicState()), DesktopTrack());
    QCOMPARE(QCoro::waitFor(players.appleMusicArtwork()).has_value(), false);
    QCOMPARE(QCoro::waitFor(players.appleMusicIsLiked()), false);
    QVERIFY(!players.runningBundleIDs().contains(kAppleMusic));
    // Every identifier but Spotify's addresses Apple Music, and none of that reaches Spotify.
    for (const QString &bundleID : { kAppleMusic, QString(), u"com.spotify.clients"_s }) {
        players.playPause(bundleID);
        players.nextTrack(bundleID);
        players.previousTrack(bundleID);
        players.setPosition(bundleID, 10);
        players.setShuffle(bundleID, true);
        players.setRepeatMode(bundleID, RepeatMode::One);
        QCOMPARE(players.requestAutomationPermission(bundleID, true),
                 PlayerAuthStatus::Unavailable);
    }
    players.appleMusicSetLiked(true);
    // A command sent after them arrives after anything they could have sent.
    players.nextTrack(kSpotify);
    QTRY_COMPARE(m_fake->calls().size(), 1);
    QCOMPARE(m_fake->calls().at(0).member, u"Next"_s);
}

void TestMpris::changeIsPostedWithTheWholeState()
{
    startPlaying();
    MprisDesktopPlayers players(QDBusConnection::sessionBus());
    waitUntilKnown(players);
    QSignalSpy posted(&players, &DesktopPlayers::notificationPosted);

    // The player moved on without saying so; the change names nothing but the status.
    m_fake->setPlayerProperty(u"Position"_s, 61'250'000LL);
    m_fake->changePlayerProperties({ { u"PlaybackStatus"_s, u"Paused"_s } });
    QTRY_COMPARE(posted.count(), 1);
    QCOMPARE(posted.at(0).at(0).toString(), DesktopPlayers::spotifyNotification());
    QCOMPARE(posted.at(0).at(1).toMap(),
             stateInfo(u"Paused"_s, u"Song"_s, u"Artist"_s, u"Album"_s, 215'000, 61.25));
    QCOMPARE(m_fake->callCount(u"Get"_s, u"Position"_s), 1);
    QCOMPARE(m_fake->callCount(u"GetAll"_s), 0);

    m_fake->changePlayerProperties(
        { { u"Metadata"_s,
            FakeMprisPlayer::metadata(u"Next"_s, u"Other"_s, u"Record"_s, 180.5, u"2"_s) },
          { u"PlaybackStatus"_s, u"Playing"_s } });
    QTRY_COMPARE(posted.count(), 2);
    QCOMPARE(posted.at(1).at(1).toMap(),
             stateInfo(u"Playing"_s, u"Next"_s, u"Other"_s, u"Record"_s, 180'500, 61.25));

    // An invalidated property has no value to merge: everything is read again.
    m_fake->setPlayerProperty(u"Metadata"_s,
                              FakeMprisPlayer::metadata(u"Third"_s, u"X"_s, u"Y"_s, 60, u"3"_s));
    m_fake->emitPropertiesChanged({}, { u"Metadata"_s });
    QTRY_COMPARE(posted.count(), 3);
    QCOMPARE(posted.at(2).at(1).toMap().value(u"Name"_s), u"Third"_s);
    QCOMPARE(m_fake->callCount(u"GetAll"_s), 1);
}

void TestMpris::positionFallsBackToTheLastSeek()
{
    startPlaying();
    MprisDesktopPlayers players(QDBusConnection::sessionBus());
    waitUntilKnown(players);
    QSignalSpy posted(&players, &DesktopPlayers::notificationPosted);

    m_fake->emitSeeked(30 * kSecond);
    m_fake->removePlayerProperty(u"Position"_s);
    m_fake->changePlayerProperties({ { u"PlaybackStatus"_s, u"Paused"_s } });
    QTRY_COMPARE(posted.count(), 1);
    QCOMPARE(posted.at(0).at(1).toMap().value(u"Playback Position"_s), 30.0);
    QCOMPARE(m_fake->callCount(u"Get"_s, u"Position"_s), 1);
}

void TestMpris::floodOfChangesIsCoalesced()
{
    startPlaying();
    MprisDesktopPlayers players(QDBusConnection::sessionBus());
    waitUntilKnown(players);
    QSignalSpy posted(&players, &DesktopPlayers::notificationPosted);

    for (int i = 0; i < 300; ++i) {
        m_fake->changePlayerProperties(
            { { u"Metadata"_s,
                FakeMprisPlayer::metadata(u"Song %1"_s.arg(i), u"Artist"_s, u"Album"_s, 215,
                                          QString::number(i)) } });
    }
    m_fake->changePlayerProperties({ { u"PlaybackStatus"_s, u"Paused"_s } });
    QTRY_VERIFY(!posted.isEmpty()
                && posted.last().at(1).toMap().value(u"Player State"_s) == u"Paused"_s);
    // Nothing more is on its way.
    QTest::qWait(300);
    const int reads = m_fake->callCount(u"Get"_s, u"Position"_s) + m_fake->callCount(u"GetAll"_s);
    QVERIFY2(reads <= 2, qPrintable(u"%1 reads"_s.arg(reads)));
    QCOMPARE(posted.count(), reads);
    QCOMPARE(posted.last().at(1).toMap(),
             stateInfo(u"Paused"_s, u"Song 299"_s, u"Artist"_s, u"Album"_s, 215'000, 42));
}

void TestMpris::changesOfWrongTypesStaySane()
{
    startPlaying();
    MprisDesktopPlayers players(QDBusConnection::sessionBus());
    waitUntilKnown(players);
    QSignalSpy posted(&players, &DesktopPlayers::notificationPosted);

    // Changes of another interface are not the player's.
    m_fake->emitPropertiesChanged({ { u"Identity"_s, u"Other"_s } }, {},
                                  u"org.mpris.MediaPlayer2"_s);
    m_fake->emitPropertiesChanged({ { u"Metadata"_s, u"Song"_s }, { u"PlaybackStatus"_s, 3 } });
    QTRY_COMPARE(posted.count(), 1);
    QCOMPARE(posted.at(0).at(1).toMap(), stateInfo(u"Stopped"_s, {}, {}, {}, 0, 42));

    QVariantMap metadata = FakeMprisPlayer::metadata(u"Again"_s, {}, u"Album"_s, 100);
    metadata.insert(u"xesam:artist"_s, u"Solo"_s);
    metadata.insert(u"mpris:length"_s, int(100 * kSecond));
    m_fake->setPlayerProperty(u"Position"_s, int(12 * kSecond));
    m_fake->changePlayerProperties(
        { { u"Metadata"_s, metadata }, { u"PlaybackStatus"_s, u"Playing"_s } });
    QTRY_COMPARE(posted.count(), 2);
    QCOMPARE(posted.at(1).at(1).toMap(),
             stateInfo(u"Playing"_s, u"Again"_s, u"Solo"_s, u"Album"_s, 100'000, 12));
}

void TestMpris::commandsReachThePlayer()
{
    startPlaying();
    MprisDesktopPlayers players(QDBusConnection::sessionBus());
    waitUntilKnown(players);

    players.playPause(kSpotify);
    players.nextTrack(kSpotify);
    players.previousTrack(kSpotify);
    players.setShuffle(kSpotify, true);
    players.setRepeatMode(kSpotify, RepeatMode::One);
    players.setRepeatMode(kSpotify, RepeatMode::Off);
    players.setRepeatMode(kSpotify, RepeatMode::All);
    // The player announces what changed, and reads of the position follow; only commands count.
    const auto commands = [this] {
        QList<FakeMprisPlayer::Call> found;
        for (const FakeMprisPlayer::Call &call : m_fake->calls()) {
            if (call.member != "Get"_L1 && call.member != "GetAll"_L1)
                found.append(call);
        }
        return found;
    };
    QTRY_COMPARE(commands().size(), 7);

    const QList<FakeMprisPlayer::Call> calls = commands();
    const QStringList members
        = { u"PlayPause"_s, u"Next"_s, u"Previous"_s, u"Set"_s, u"Set"_s, u"Set"_s, u"Set"_s };
    for (int i = 0; i < calls.size(); ++i)
        QCOMPARE(calls.at(i).member, members.at(i));
    const auto setArguments = [&](int i) { return calls.at(i).arguments; };
    const QString player = u"org.mpris.MediaPlayer2.Player"_s;
    QCOMPARE(setArguments(3), (QVariantList { player, u"Shuffle"_s, true }));
    QCOMPARE(setArguments(4), (QVariantList { player, u"LoopStatus"_s, u"Playlist"_s }));
    QCOMPARE(setArguments(5), (QVariantList { player, u"LoopStatus"_s, u"None"_s }));
    QCOMPARE(setArguments(6), (QVariantList { player, u"LoopStatus"_s, u"Playlist"_s }));
    QCOMPARE(m_fake->playerProperty(u"PlaybackStatus"_s), u"Paused"_s);
}

void TestMpris::setPositionAddressesTheTrack_data()
{
    QTest::addColumn<QVariant>("trackID");
    QTest::addColumn<QVariant>("position");
    QTest::addColumn<double>("seconds");
    QTest::addColumn<QString>("member"); // "": nothing is sent
    QTest::addColumn<QVariantList>("arguments");

    const auto path = [](const QString &p) { return QVariant::fromValue(QDBusObjectPath(p)); };
    QTest::newRow("object path") << path(u"/com/spotify/track/abc"_s) << QVariant(10 * kSecond)
                                 << 90.0 << u"SetPosition"_s
                                 << QVariantList { path(u"/com/spotify/track/abc"_s),
                                                   90 * kSecond };
    QTest::newRow("path as a string")
        << QVariant(u"/com/spotify/track/abc"_s) << QVariant(10 * kSecond) << 90.25
        << u"SetPosition"_s << QVariantList { path(u"/com/spotify/track/abc"_s), 90'250'000LL };
    QTest::newRow("URI: relative seek")
        << QVariant(u"spotify:track:abc"_s) << QVariant(10 * kSecond) << 90.0 << u"Seek"_s
        << QVariantList { 80 * kSecond };
    QTest::newRow("no track ID, position as i")
        << QVariant() << QVariant(int(100 * kSecond)) << 90.0 << u"Seek"_s
        << QVariantList { -10 * kSecond };
    QTest::newRow("no track") << path(u"/org/mpris/MediaPlayer2/TrackList/NoTrack"_s)
                              << QVariant(0LL) << 5.0 << u"Seek"_s << QVariantList { 5 * kSecond };
    QTest::newRow("before the start") << path(u"/t/1"_s) << QVariant(0LL) << -4.0
                                      << u"SetPosition"_s << QVariantList { path(u"/t/1"_s), 0LL };
    QTest::newRow("URI without a position")
        << QVariant(u"spotify:track:abc"_s) << QVariant() << 90.0 << QString() << QVariantList();
    QTest::newRow("not a number") << path(u"/t/1"_s) << QVariant(0LL) << std::nan("") << QString()
                                  << QVariantList();
}

void TestMpris::setPositionAddressesTheTrack()
{
    QFETCH(QVariant, trackID);
    QFETCH(QVariant, position);
    QFETCH(double, seconds);
    QFETCH(QString, member);
    QFETCH(QVariantList, arguments);

    QVariantMap metadata = FakeMprisPlayer::metadata(u"Song"_s, u"Artist"_s, u"Album"_s, 215);
    metadata.remove(u"mpris:trackid"_s);
    if (trackID.isValid())
        metadata.insert(u"mpris:trackid"_s, trackID);
    startPlaying();
    m_fake->setPlayerProperty(u"Metadata"_s, metadata);
    if (position.isValid())
        m_fake->setPlayerProperty(u"Position"_s, position);
    else
        m_fake->removePlayerProperty(u"Position"_s);
    MprisDesktopPlayers players(QDBusConnection::sessionBus());
    QTRY_VERIFY(players.runningBundleIDs().contains(kSpotify));
    m_fake->clearCalls();

    players.setPosition(kSpotify, seconds);
    // Answers come in order: once this read is back, the seek has been sent if it ever will.
    QCoro::waitFor(players.spotifyState());
    players.nextTrack(kSpotify);
    QTRY_COMPARE(m_fake->callCount(u"Next"_s), 1);
    QStringList sent;
    for (const FakeMprisPlayer::Call &call : m_fake->calls()) {
        if (call.member == "Seek"_L1 || call.member == "SetPosition"_L1) {
            sent.append(call.member);
            QCOMPARE(call.member, member);
            QCOMPARE(call.arguments, arguments);
        }
    }
    QCOMPARE(sent.size(), member.isEmpty() ? 0 : 1);
}

void TestMpris::hungPlayerDoesNotBlock()
{
    startPlaying();
    MprisDesktopPlayers players(QDBusConnection::sessionBus());
    waitUntilKnown(players);
    QSignalSpy posted(&players, &DesktopPlayers::notificationPosted);
    m_fake->setAnswering(false);

    int ticks = 0;
    QTimer timer;
    timer.setInterval(20);
    connect(&timer, &QTimer::timeout, this, [&ticks] { ++ticks; });
    timer.start();
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
    QCOMPARE(posted.at(0).at(1).toMap(),
             stateInfo(u"Paused"_s, u"Song"_s, u"Artist"_s, u"Album"_s, 215'000, 42));
    QVERIFY(players.runningBundleIDs().contains(kSpotify));
}

void TestMpris::playerQuitsMidCall()
{
    startPlaying();
    MprisDesktopPlayers players(QDBusConnection::sessionBus());
    waitUntilKnown(players);
    QSignalSpy posted(&players, &DesktopPlayers::notificationPosted);
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
    QVERIFY(players.runningBundleIDs().isEmpty());
    QTest::qWait(100);
    // The stop is the only broadcast: the answer to the read it interrupted is dropped.
    QCOMPARE(posted.count(), 1);
    QCOMPARE(posted.last().at(1).toMap(), stateInfo(u"Stopped"_s, {}, {}, {}, 0, 0));

    // The next instance of the player starts from a clean slate.
    m_fake->setAnswering(true);
    m_fake->setPlayerProperty(u"Metadata"_s,
                              FakeMprisPlayer::metadata(u"Back"_s, u"Artist"_s, u"Album"_s, 100));
    m_fake->setPlayerProperty(u"PlaybackStatus"_s, u"Playing"_s);
    QVERIFY(m_fake->start());
    QTRY_COMPARE(changed.count(), 2);
    QCOMPARE(QCoro::waitFor(players.spotifyState()).title, u"Back"_s);
    posted.clear();
    m_fake->changePlayerProperties({ { u"PlaybackStatus"_s, u"Paused"_s } });
    QTRY_COMPARE(posted.count(), 1);
    QCOMPARE(posted.at(0).at(1).toMap().value(u"Name"_s), u"Back"_s);
}

void TestMpris::destroyedWhileCallsAreInFlight()
{
    startPlaying();
    auto players = std::make_unique<MprisDesktopPlayers>(QDBusConnection::sessionBus());
    waitUntilKnown(*players);
    m_fake->setAnswering(false);
    QCoro::Task<DesktopTrack> state = players->spotifyState();
    QCoro::Task<std::optional<QString>> id = players->spotifyTrackID();
    players->setPosition(kSpotify, 3);
    m_fake->changePlayerProperties({ { u"PlaybackStatus"_s, u"Paused"_s } });
    QTRY_COMPARE(m_fake->calls().size(), 4);
    players.reset();
    m_fake->quit();
    QCOMPARE(QCoro::waitFor(state), DesktopTrack());
    QVERIFY(!QCoro::waitFor(id).has_value());
}

QTEST_GUILESS_MAIN(TestMpris)
#include "test_mpris.moc"
