// Drives one MPRIS 2 player through Vesper's desktop-player code, to check that code against
// real players: waits for the player, prints what it reads, sends play/pause, then prints the
// state broadcast and the state that follow. Exits 0 when a track was read and play/pause
// changed whether it plays.
//
//   mpris_probe <bus name> [--wait <seconds>]

#include "platform/linux/MprisDesktopPlayers.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QTextStream>

#include <qcoro/qcorotask.h>

#include <functional>

using namespace Qt::StringLiterals;

namespace {
QTextStream &out()
{
    static QTextStream stream(stdout);
    return stream;
}

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

void printState(const DesktopTrack &track)
{
    out() << "state playing=" << (track.isPlaying ? "true" : "false") << " title=\"" << track.title
          << "\" artist=\"" << track.artist << "\" album=\"" << track.album
          << "\" duration=" << track.duration << " elapsed=" << track.elapsed
          << " shuffle=" << (track.shuffle ? "true" : "false") << " repeat=" << track.repeatMode
          << Qt::endl;
}
} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(u"Reads and drives an MPRIS 2 player through Vesper."_s);
    parser.addHelpOption();
    parser.addPositionalArgument(u"name"_s, u"The player's bus name."_s);
    const QCommandLineOption waitOption(u"wait"_s, u"Seconds to wait for the player."_s,
                                        u"seconds"_s, u"10"_s);
    parser.addOption(waitOption);
    parser.process(app);
    if (parser.positionalArguments().size() != 1)
        parser.showHelp(2);
    const QString name = parser.positionalArguments().constFirst();
    const QString sourceId = MprisDesktopPlayers::spotifyBundleID();

    MprisDesktopPlayers players(QDBusConnection::sessionBus(), name);
    if (!waitUntil([&] { return players.runningSourceIds().contains(sourceId); },
                   parser.value(waitOption).toInt() * 1000)) {
        out() << "missing " << name << Qt::endl;
        return 1;
    }
    out() << "running " << name << Qt::endl;

    // The player may own its name a moment before it has a track.
    DesktopTrack before;
    waitUntil(
        [&] {
            before = QCoro::waitFor(players.spotifyState());
            return !before.title.isEmpty();
        },
        5000);
    printState(before);
    out() << "trackid " << QCoro::waitFor(players.spotifyTrackID()).value_or(u"none"_s) << Qt::endl;
    out() << "artwork " << QCoro::waitFor(players.spotifyArtworkURL()).value_or(u"none"_s)
          << Qt::endl;

    QVariantMap broadcast;
    QObject::connect(&players, &DesktopPlayers::notificationPosted, &app,
                     [&](const QString &, const QVariantMap &info) { broadcast = info; });
    players.playPause(sourceId);
    out() << "sent PlayPause" << Qt::endl;
    const QString expected = before.isPlaying ? u"Paused"_s : u"Playing"_s;
    if (waitUntil([&] { return broadcast.value(u"Player State"_s) == expected; }, 5000)) {
        QStringList fields;
        for (auto it = broadcast.cbegin(); it != broadcast.cend(); ++it)
            fields.append(it.key() + u'=' + it.value().toString());
        out() << "notification " << fields.join(u"; "_s) << Qt::endl;
    } else {
        out() << "notification none" << Qt::endl;
    }
    const DesktopTrack after = QCoro::waitFor(players.spotifyState());
    printState(after);

    const bool ok = !before.title.isEmpty() && after.isPlaying != before.isPlaying;
    out() << "result " << (ok ? "ok" : "fail") << Qt::endl;
    return ok ? 0 : 1;
}
