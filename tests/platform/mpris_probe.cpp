// Drives one MPRIS 2 player through Vesper's desktop-player code, to check that code against
// real players: waits for the player, prints what it reads, sends play/pause, then prints the
// announced reading and the state that follow. Exits 0 when a track was read and play/pause
// changed whether it plays, both as announced and as read.
//
//   mpris_probe <bus name> [--wait <seconds>]

#include "platform/linux/MprisDesktopPlayers.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QTextStream>

#include <functional>

using namespace Qt::StringLiterals;

namespace {
bool waitUntil(const std::function<bool()> &condition, int milliseconds)
{
    QDeadlineTimer deadline(milliseconds);
    while (!condition()) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    }
    return true;
}
} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addPositionalArgument(u"name"_s, u"The player's bus name."_s);
    const QCommandLineOption waitOption(u"wait"_s, u"Seconds to wait for the player."_s,
                                        u"seconds"_s, u"10"_s);
    parser.addOption(waitOption);
    parser.process(app);
    if (parser.positionalArguments().size() != 1)
        parser.showHelp(2);
    const QString name = parser.positionalArguments().constFirst();
    const QString sourceId = MprisDesktopPlayers::spotifyBundleID();
    QTextStream out(stdout);
    const auto print = [&out](const char *what, bool playing, const QString &title, double at) {
        out << what << " playing=" << playing << " title=\"" << title << "\" position=" << at
            << Qt::endl;
    };

    MprisDesktopPlayers players(QDBusConnection::sessionBus(), name);
    if (!waitUntil([&] { return players.runningSourceIds().contains(sourceId); },
                   parser.value(waitOption).toInt() * 1000)) {
        out << "missing " << name << Qt::endl;
        return 1;
    }
    // The player may own its name a moment before it has a track.
    RawNowPlaying before;
    waitUntil(
        [&] {
            before = QCoro::waitFor(players.readState(sourceId));
            return !before.title.isEmpty();
        },
        5000);
    print("read", before.isPlaying, before.title, before.elapsed);
    out << "trackid " << QCoro::waitFor(players.spotifyTrackID()).value_or(u"none"_s) << Qt::endl;

    std::optional<PlayerReading> announced;
    QObject::connect(&players, &DesktopPlayers::playerStateChanged, &app,
                     [&](const QString &, const PlayerReading &reading) { announced = reading; });
    players.playPause(sourceId);
    const PlaybackState expected
        = before.isPlaying ? PlaybackState::Paused : PlaybackState::Playing;
    const bool heard = waitUntil([&] { return announced && announced->state == expected; }, 5000);
    if (announced) {
        print("announced", announced->state == PlaybackState::Playing, announced->title,
              announced->position);
    }
    const RawNowPlaying after = QCoro::waitFor(players.readState(sourceId));
    print("read", after.isPlaying, after.title, after.elapsed);

    const bool ok = !before.title.isEmpty() && heard && after.isPlaying != before.isPlaying;
    out << "result " << (ok ? "ok" : "fail") << Qt::endl;
    return ok ? 0 : 1;
}
