// A fake Spotify MPRIS 2 player on the session bus, driven by lines on standard input, for
// end-to-end runs and benchmarks of Vesper against a player that does exactly what it is told:
//
//   play <title>|<artist>|<album>|<seconds>   a new track, playing from 0
//   pause | stop                                change the playback status
//   quit                                        release the name and exit (so does end of input)
//
// It prints "ready <bus name>" once it owns the name.

#include "FakeMprisPlayer.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTextStream>

#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {
// Runs one command line; false when the player should exit.
bool run(FakeMprisPlayer &player, const QString &line, int &trackCount)
{
    const QString command = line.section(u' ', 0, 0);
    if (command == "play"_L1) {
        const QStringList fields = line.section(u' ', 1).split(u'|');
        player.setPlayerProperty(u"Position"_s, qlonglong(0));
        player.changePlayerProperties({
            { u"Metadata"_s,
              FakeMprisPlayer::metadata(fields.value(0), fields.value(1), fields.value(2),
                                        fields.value(3).toDouble(),
                                        QString::number(++trackCount)) },
            { u"PlaybackStatus"_s, u"Playing"_s },
        });
    } else if (command == "pause"_L1 || command == "stop"_L1) {
        player.changePlayerProperties(
            { { u"PlaybackStatus"_s, command == "pause"_L1 ? u"Paused"_s : u"Stopped"_s } });
    }
    return command != "quit"_L1;
}
} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QTextStream out(stdout);
    FakeMprisPlayer player(QDBusConnection::sessionBus());
    if (!player.start()) {
        out << "error cannot own " << FakeMprisPlayer::spotifyServiceName() << Qt::endl;
        return 1;
    }
    out << "ready " << FakeMprisPlayer::spotifyServiceName() << Qt::endl;

    int trackCount = 0;
    QByteArray pending;
    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, &app, [&] {
        char buffer[4096];
        const ssize_t count = ::read(STDIN_FILENO, buffer, sizeof buffer);
        if (count <= 0) {
            input.setEnabled(false);
            app.quit();
            return;
        }
        // Lines are decoded whole, so a character split between two reads stays intact.
        pending.append(buffer, count);
        qsizetype end;
        while ((end = pending.indexOf('\n')) >= 0) {
            const QString line = QString::fromUtf8(pending.left(end)).trimmed();
            pending.remove(0, end + 1);
            if (!run(player, line, trackCount)) {
                input.setEnabled(false);
                app.quit();
                return;
            }
        }
    });
    const int status = app.exec();
    player.quit();
    return status;
}
