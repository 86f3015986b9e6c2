// How soon a track change in a desktop player reaches Vesper's published record, side by side
// with playerctl following the same player on the same bus. A scripted player announces a new
// track (metadata and PlaybackStatus in one PropertiesChanged); Vesper's time ends at the
// nowPlayingChanged that carries the new title, playerctl's at its stdout line with it.
//
// PropertiesChanged never carries the position, so Vesper reads it from the player before it
// posts the change: that round trip is part of Vesper's figure by design.
//
// Needs a session bus of its own, where nothing else owns the Spotify name:
//   dbus-run-session -- build/bench/bench_mpris_latency [--samples N] [--pause ms]

#include "BenchStats.h"
#include "FakeMprisPlayer.h"
#include "core/Clock.h"
#include "core/SettingsStore.h"
#include "nowplaying/ArtworkResolver.h"
#include "nowplaying/NowPlayingAggregator.h"
#include "platform/linux/MprisDesktopPlayers.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QEventLoop>
#include <QLoggingCategory>
#include <QNetworkAccessManager>
#include <QProcess>
#include <QScopeGuard>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <optional>

using namespace Qt::StringLiterals;

namespace {

constexpr int kWarmUpSamples = 5;
constexpr int kSampleTimeoutMs = 3000;

// Nanoseconds on the monotonic clock, comparable between threads.
qint64 now()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

double quantile(QList<double> samples, double q)
{
    std::sort(samples.begin(), samples.end());
    return samples.at(qsizetype(q * double(samples.size() - 1)));
}

// playerctl runs on a thread of its own, so that its lines are timed as they arrive rather
// than when the main thread, busy with Vesper and the player, gets round to them.
class PlayerctlReader : public QThread
{
public:
    // Called on the reader's thread with each line and the moment it was read.
    std::function<void(const QString &line, qint64 at)> lineRead;
    std::function<void(const QString &problem)> failed;

    explicit PlayerctlReader(QString program) : m_program(std::move(program)) { }

protected:
    void run() override
    {
        QProcess process;
        process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        QObject::connect(&process, &QProcess::readyReadStandardOutput, &process, [&] {
            const qint64 at = now();
            while (process.canReadLine())
                lineRead(QString::fromUtf8(process.readLine()).trimmed(), at);
        });
        QObject::connect(&process, &QProcess::finished, &process, [this](int code) {
            failed(u"playerctl exited with status %1"_s.arg(code));
        });
        process.start(
            m_program,
            { u"--player=spotify"_s, u"--follow"_s, u"metadata"_s, u"--format"_s, u"{{title}}"_s });
        if (!process.waitForStarted()) {
            failed(u"playerctl did not start: %1"_s.arg(process.errorString()));
            return;
        }
        exec();
        // Ending it here is not a failure worth reporting.
        QObject::disconnect(&process, &QProcess::finished, nullptr, nullptr);
        process.kill();
        process.waitForFinished();
    }

private:
    QString m_program;
};

struct Sample
{
    QString title;
    qint64 sentAt = 0;
    std::optional<qint64> vesperAt;
    std::optional<qint64> playerctlAt;
};

} // namespace

int main(int argc, char *argv[])
{
    // Artwork lookups for each new track go nowhere: nothing leaves the machine.
    qputenv("VESPER_ITUNES_URL", "http://127.0.0.1:9");
    QCoreApplication app(argc, argv);
    // One routing line per change would bury the figures.
    QLoggingCategory::setFilterRules(u"northloft.VesperApp.SourceRouting.info=false"_s);

    QCommandLineParser parser;
    parser.setApplicationDescription(
        u"Track-change latency of Vesper's now-playing record versus playerctl."_s);
    parser.addHelpOption();
    const QCommandLineOption samplesOption(u"samples"_s, u"Track changes to time."_s, u"count"_s,
                                           u"300"_s);
    const QCommandLineOption pauseOption(u"pause"_s, u"Pause between changes."_s, u"ms"_s, u"20"_s);
    parser.addOptions({ samplesOption, pauseOption });
    parser.process(app);
    const int sampleCount = std::max(1, parser.value(samplesOption).toInt());
    const int pauseMs = std::max(0, parser.value(pauseOption).toInt());

    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        std::fprintf(stderr,
                     "No session bus. Run in a private one:\n"
                     "  dbus-run-session -- %s\n",
                     argv[0]);
        return 2;
    }
    // The player has a connection of its own, as a separate program would.
    FakeMprisPlayer player(
        QDBusConnection::connectToBus(QDBusConnection::SessionBus, u"bench-player"_s));
    if (!player.start()) {
        std::fprintf(stderr,
                     "Cannot own %s: another player holds it. Run in a private bus:\n"
                     "  dbus-run-session -- %s\n",
                     qPrintable(FakeMprisPlayer::spotifyServiceName()), argv[0]);
        return 2;
    }

    QTemporaryDir dir;
    SettingsStore defaults(dir.filePath(u"defaults.json"_s));
    SystemClock clock;
    QNetworkAccessManager network;
    MprisDesktopPlayers players(bus);
    ArtworkResolver artwork(players, network);
    NowPlayingAggregator manager(players, nullptr, artwork, defaults, clock);

    QEventLoop loop;
    QTimer timeout;
    timeout.setSingleShot(true);
    QObject::connect(&timeout, &QTimer::timeout, &loop, &QEventLoop::quit);
    const auto waitUntil = [&](const std::function<bool()> &done, int ms) {
        if (done())
            return true;
        timeout.start(ms);
        while (!done() && timeout.isActive())
            loop.exec();
        timeout.stop();
        return done();
    };

    std::optional<Sample> current;
    QString lastPlayerctlLine;
    bool playerctlRunning = false;
    const auto sampleDone = [&] {
        return current && current->vesperAt && (!playerctlRunning || current->playerctlAt);
    };

    QObject::connect(&manager, &NowPlayingAggregator::nowPlayingChanged, &loop, [&] {
        if (current && !current->vesperAt && manager.nowPlaying().title == current->title) {
            current->vesperAt = now();
            if (sampleDone())
                loop.quit();
        }
    });

    const QString playerctl = QStandardPaths::findExecutable(u"playerctl"_s);
    PlayerctlReader reader(playerctl);
    if (playerctl.isEmpty()) {
        std::printf("playerctl IS MISSING (Debian: apt-get install playerctl); "
                    "timing Vesper alone.\n");
    } else {
        reader.lineRead
            = [&loop, &current, &lastPlayerctlLine, &sampleDone](const QString &line, qint64 at) {
                  QMetaObject::invokeMethod(
                      &loop,
                      [&, line, at] {
                          lastPlayerctlLine = line;
                          if (current && !current->playerctlAt && line == current->title) {
                              current->playerctlAt = at;
                              if (sampleDone())
                                  loop.quit();
                          }
                      },
                      Qt::QueuedConnection);
              };
        reader.failed = [&loop, &playerctlRunning](const QString &problem) {
            QMetaObject::invokeMethod(
                &loop,
                [&, problem] {
                    if (playerctlRunning)
                        std::fprintf(stderr, "%s\n", qPrintable(problem));
                    playerctlRunning = false;
                    loop.quit();
                },
                Qt::QueuedConnection);
        };
        playerctlRunning = true;
        reader.start();
    }
    const auto stopReader = qScopeGuard([&reader] {
        reader.quit();
        reader.wait();
    });

    // Both must follow the player before the first change is timed.
    if (!waitUntil([&] { return !players.runningSourceIds().isEmpty(); }, 5000)) {
        std::fprintf(stderr, "Vesper never saw the player on the bus.\n");
        return 1;
    }
    player.changePlayerProperties({
        { u"Metadata"_s, FakeMprisPlayer::metadata(u"Warm-up"_s, u"Bench"_s, u"Bench"_s, 200) },
        { u"PlaybackStatus"_s, u"Playing"_s },
    });
    if (!waitUntil([&] { return manager.nowPlaying().title == "Warm-up"_L1; }, 5000)) {
        std::fprintf(stderr, "Vesper never showed the player's first track.\n");
        return 1;
    }
    if (playerctlRunning
        && !waitUntil([&] { return !playerctlRunning || lastPlayerctlLine == "Warm-up"_L1; },
                      5000)) {
        std::fprintf(stderr, "playerctl never printed the player's first track.\n");
        playerctlRunning = false;
    }

    QList<double> vesper;
    QList<double> follower;
    int vesperMissed = 0;
    int followerMissed = 0;
    for (int i = 0; i < kWarmUpSamples + sampleCount; ++i) {
        const QString title = (i % 2 ? u"Evening Tide %1"_s : u"Morning Light %1"_s).arg(i);
        player.setPlayerProperty(u"Position"_s, qlonglong(0));
        current = Sample { title, now(), {}, {} };
        player.changePlayerProperties({
            { u"Metadata"_s,
              FakeMprisPlayer::metadata(title, u"Bench"_s, u"Bench"_s, 200, QString::number(i)) },
            { u"PlaybackStatus"_s, u"Playing"_s },
        });
        waitUntil(sampleDone, kSampleTimeoutMs);

        if (i >= kWarmUpSamples) {
            if (current->vesperAt)
                vesper.append(double(*current->vesperAt - current->sentAt) / 1000.0);
            else
                ++vesperMissed;
            if (current->playerctlAt)
                follower.append(double(*current->playerctlAt - current->sentAt) / 1000.0);
            else if (!playerctl.isEmpty())
                ++followerMissed;
        }
        current.reset();
        QTimer::singleShot(pauseMs, &loop, &QEventLoop::quit);
        loop.exec();
    }

    std::printf("Track change (PropertiesChanged with Metadata + PlaybackStatus) until the new "
                "title is seen; %d changes, %d ms apart.\n"
                "Vesper's time includes the Position read it makes before posting each change.\n",
                sampleCount, pauseMs);
    if (!vesper.isEmpty())
        printStats("Vesper    nowPlayingChanged", vesper, "us");
    if (!follower.isEmpty())
        printStats("playerctl --follow line  ", follower, "us");
    if (vesperMissed || followerMissed) {
        std::printf("missed within %d ms: Vesper %d, playerctl %d\n", kSampleTimeoutMs,
                    vesperMissed, followerMissed);
    }
    if (!vesper.isEmpty() && !follower.isEmpty()) {
        std::printf("Vesper/playerctl: median %.2f, p99 %.2f\n",
                    quantile(vesper, 0.5) / quantile(follower, 0.5),
                    quantile(vesper, 0.99) / quantile(follower, 0.99));
    }
    if (playerctl.isEmpty())
        std::printf("playerctl IS MISSING: no comparison made.\n");

    return vesperMissed == 0 ? 0 : 1;
}
