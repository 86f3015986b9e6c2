// Drives one MPRIS 2 player through Vesper's desktop-player code, to check that code against
// real players: waits for the player, reads its track and track ID, sends play/pause and prints
// what follows. Exits 0 when a track and its ID were read and play/pause changed whether it
// plays, both as announced and as read.
//
//   mpris_probe <bus name> <seconds to wait for the player>

#include "platform/linux/MprisDesktopPlayers.h"

#include <QCoreApplication>
#include <QDeadlineTimer>

#include <cstdio>
#include <cstdlib>
#include <functional>

namespace {
bool waitUntil(const std::function<bool()> &condition, int milliseconds)
{
    const QDeadlineTimer deadline(milliseconds);
    while (!condition() && !deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    return condition();
}
void print(const char *what, bool playing, const QString &title, double at)
{
    std::printf("%s playing=%d title=\"%s\" position=%g\n", what, playing, qPrintable(title), at);
}
} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    if (argc != 3)
        return 2;
    const QString sourceId = MprisDesktopPlayers::spotifyBundleID();
    MprisDesktopPlayers players(QDBusConnection::sessionBus(), QString::fromLocal8Bit(argv[1]));
    if (!waitUntil([&] { return players.runningSourceIds().contains(sourceId); },
                   std::atoi(argv[2]) * 1000)) {
        std::printf("missing %s\n", argv[1]);
        return 1;
    }
    // The player may own its name a moment before it has a track.
    RawNowPlaying before;
    waitUntil(
        [&] { return !(before = QCoro::waitFor(players.readState(sourceId))).title.isEmpty(); },
        5000);
    print("read", before.isPlaying, before.title, before.elapsed);
    const std::optional<QString> trackID = QCoro::waitFor(players.spotifyTrackID());
    std::printf("trackid %s\n", qPrintable(trackID.value_or(QStringLiteral("none"))));

    std::optional<PlayerReading> announced;
    QObject::connect(&players, &DesktopPlayers::playerStateChanged, &app,
                     [&](const QString &, const PlayerReading &reading) { announced = reading; });
    players.playPause(sourceId);
    const auto expected = before.isPlaying ? PlaybackState::Paused : PlaybackState::Playing;
    const bool heard = waitUntil([&] { return announced && announced->state == expected; }, 5000);
    if (announced)
        print("announced", announced->state == PlaybackState::Playing, announced->title,
              announced->position);
    const RawNowPlaying after = QCoro::waitFor(players.readState(sourceId));
    print("read", after.isPlaying, after.title, after.elapsed);

    const bool ok
        = !before.title.isEmpty() && trackID && heard && after.isPlaying != before.isPlaying;
    std::printf("result %s\n", ok ? "ok" : "fail");
    return ok ? 0 : 1;
}
