// A fake Spotify MPRIS 2 player on the session bus for end-to-end runs, driven by lines on its
// standard input; it prints "ready <bus name>" once it owns the name.
//
//   play <title>|<artist>|<album>|<seconds>[|<art URL>]   a new track, playing from 0
//   pause | stop                                change the playback status
//   quit                                        release the name and exit (so does end of input)

#include "FakeMprisPlayer.h"

#include <QCoreApplication>

#include <iostream>
#include <thread>

using namespace Qt::StringLiterals;

namespace {
QVariantMap withArtwork(QVariantMap metadata, const QString &artUrl)
{
    if (!artUrl.isEmpty())
        metadata.insert(u"mpris:artUrl"_s, artUrl);
    return metadata;
}
} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    FakeMprisPlayer player(QDBusConnection::sessionBus());
    if (!player.start()) {
        std::cout << "error cannot own " << qPrintable(FakeMprisPlayer::spotifyServiceName())
                  << std::endl;
        return 1;
    }
    std::cout << "ready " << qPrintable(FakeMprisPlayer::spotifyServiceName()) << std::endl;

    int trackCount = 0;
    const auto run = [&](const QString &line) {
        const QString command = line.section(u' ', 0, 0);
        const QStringList fields = line.section(u' ', 1).split(u'|');
        if (command == "play"_L1) {
            player.setPlayerProperty(u"Position"_s, qlonglong(0));
            player.changePlayerProperties(
                { { u"Metadata"_s,
                    withArtwork(FakeMprisPlayer::metadata(
                                    fields.value(0), fields.value(1), fields.value(2),
                                    fields.value(3).toDouble(), QString::number(++trackCount)),
                                fields.value(4)) },
                  { u"PlaybackStatus"_s, u"Playing"_s } });
        } else if (command == "pause"_L1 || command == "stop"_L1) {
            player.changePlayerProperties(
                { { u"PlaybackStatus"_s, command == "pause"_L1 ? u"Paused"_s : u"Stopped"_s } });
        }
    };
    // Lines are read whole on a thread of their own and run on the main one, in order.
    std::thread([&] {
        std::string line;
        while (std::getline(std::cin, line) && line != "quit")
            QMetaObject::invokeMethod(
                &app, [&run, text = QString::fromStdString(line)] { run(text.trimmed()); });
        QMetaObject::invokeMethod(&app, [] { QCoreApplication::quit(); });
    }).detach();
    return app.exec();
}
