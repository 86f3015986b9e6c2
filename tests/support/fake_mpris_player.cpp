// A fake MPRIS 2 player on the session bus, driven by lines on standard input, for end-to-end
// runs and benchmarks of Vesper against a player that does exactly what it is told:
//
//   play <title>|<artist>|<album>|<seconds>   a new track, playing from 0
//   pause | resume | stop                       change the playback status
//   position <seconds>                          where playback is now (no signal, as players do)
//   hang | answer                               stop or resume answering calls
//   quit                                        release the name and exit (so does end of input)
//
// It prints "ready <bus name>" once it owns the name, then "call <member> <arguments>" for every
// call it receives.

#include "FakeMprisPlayer.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDBusObjectPath>
#include <QSocketNotifier>
#include <QTextStream>

#include <cstdio>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {
QTextStream &out()
{
    static QTextStream stream(stdout);
    return stream;
}

QString describe(const QVariant &value)
{
    if (value.metaType() == QMetaType::fromType<QDBusObjectPath>())
        return qvariant_cast<QDBusObjectPath>(value).path();
    if (value.metaType() == QMetaType::fromType<QStringList>())
        return value.toStringList().join(u',');
    return value.toString();
}

// Runs one command line; false when the player should exit.
bool run(FakeMprisPlayer &player, const QString &line, int &trackCount)
{
    const QString command = line.section(u' ', 0, 0);
    const QString rest = line.section(u' ', 1);
    if (command == "play"_L1) {
        const QStringList fields = rest.split(u'|');
        player.setPlayerProperty(u"Position"_s, qlonglong(0));
        player.changePlayerProperties({
            { u"Metadata"_s,
              FakeMprisPlayer::metadata(fields.value(0), fields.value(1), fields.value(2),
                                        fields.value(3).toDouble(),
                                        QString::number(++trackCount)) },
            { u"PlaybackStatus"_s, u"Playing"_s },
        });
    } else if (command == "pause"_L1 || command == "resume"_L1 || command == "stop"_L1) {
        const QString status = command == "pause"_L1 ? u"Paused"_s
            : command == "resume"_L1                 ? u"Playing"_s
                                                     : u"Stopped"_s;
        player.changePlayerProperties({ { u"PlaybackStatus"_s, status } });
    } else if (command == "position"_L1) {
        player.setPlayerProperty(u"Position"_s, qlonglong(rest.toDouble() * 1e6));
    } else if (command == "hang"_L1 || command == "answer"_L1) {
        player.setAnswering(command == "answer"_L1);
    } else if (command == "quit"_L1) {
        return false;
    } else if (!command.isEmpty()) {
        out() << "error unknown command " << command << Qt::endl;
    }
    return true;
}
} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(u"A fake MPRIS 2 player driven from standard input."_s);
    parser.addHelpOption();
    const QCommandLineOption nameOption(u"name"_s, u"The bus name to own."_s, u"name"_s,
                                        FakeMprisPlayer::spotifyServiceName());
    parser.addOption(nameOption);
    parser.process(app);

    FakeMprisPlayer player(QDBusConnection::sessionBus(), parser.value(nameOption));
    QObject::connect(&player, &FakeMprisPlayer::called, &app,
                     [](const QString &member, const QVariantList &arguments) {
                         QStringList described;
                         for (const QVariant &argument : arguments)
                             described.append(describe(argument));
                         out() << "call " << member << ' ' << described.join(u' ') << Qt::endl;
                     });
    if (!player.start()) {
        out() << "error cannot own " << parser.value(nameOption) << Qt::endl;
        return 1;
    }
    out() << "ready " << parser.value(nameOption) << Qt::endl;

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
