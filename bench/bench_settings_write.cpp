// Time of one settings assignment while the domain holds a full scrobble queue (about 100 KB):
// every assignment rewrites the whole file atomically, so this is the cost users pay per change.
#include "BenchStats.h"
#include "QuietDesktop.h"
#include "core/SettingsKeys.h"
#include "core/SettingsStore.h"
#include "settings/AppSettings.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QTemporaryDir>

using namespace Qt::StringLiterals;

namespace {
QByteArray fullQueue()
{
    // 500 queued scrobbles of about 200 bytes each, as the scrobbler stores them.
    QByteArray queue = "[";
    for (int i = 0; i < 500; ++i) {
        if (i)
            queue += ',';
        queue += R"({"artist":"An Artist With A Long Name )" + QByteArray::number(i)
            + R"(","track":"A Track Title That Goes On For A While","album":"Some Album",)"
              R"("timestamp":1764000000,"duration":245.5,"source":"com.spotify.client"})";
    }
    return queue + ']';
}
} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    QTemporaryDir dir;
    SettingsStore defaults(dir.filePath(u"defaults.json"_s));
    defaults.setValue(SettingsKeys::lastfmScrobbleQueue, fullQueue());
    LightDesktop desktop;
    AppSettings settings(defaults, std::make_unique<NoLoginItem>(), desktop);
    std::printf("domain file: %lld bytes\n", QFileInfo(defaults.filePath()).size());

    QList<double> samples;
    QElapsedTimer timer;
    for (int i = 0; i < 1000; ++i) {
        timer.start();
        settings.setScrobbleHistory(i % 2 == 0);
        samples.append(double(timer.nsecsElapsed()) / 1000.0);
    }
    printStats("one assignment", samples, "us");
    return 0;
}
