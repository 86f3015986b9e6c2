// The command round trip of the browser bridge: the aggregator sends a play/pause command to a
// web player, and the time until that player's next state has been applied is measured. The
// peer is a real WebSocket client (bench_bridge.cjs) that answers every command with a state.
//
//   bench_bridge_roundtrip <rounds>    prints "PORT <n>", then, after the rounds,
//                                      "RTT median_us=<m> p99_us=<p> rounds=<r>"
#include "FakeDesktopPlayers.h"
#include "browser/BrowserBridgeService.h"
#include "core/Clock.h"
#include "core/Log.h"
#include "core/SettingsStore.h"
#include "nowplaying/ArtworkResolver.h"
#include "nowplaying/NowPlayingAggregator.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QNetworkAccessManager>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <functional>

using namespace Qt::StringLiterals;

namespace {

// Spins until the aggregator's record meets the condition; false when the time is up first.
bool waitUntil(NowPlayingAggregator &manager, const std::function<bool()> &condition, int timeoutMs)
{
    QEventLoop loop;
    QTimer timeout;
    timeout.setSingleShot(true);
    QObject::connect(&timeout, &QTimer::timeout, &loop, &QEventLoop::quit);
    QObject::connect(&manager, &NowPlayingAggregator::nowPlayingChanged, &loop, [&] {
        if (condition())
            loop.quit();
    });
    if (!condition()) {
        timeout.start(timeoutMs);
        loop.exec();
    }
    return condition();
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    installLogFormat();
    const int rounds = argc > 1 ? QByteArray(argv[1]).toInt() : 2000;

    qputenv("VESPER_ITUNES_URL", "http://127.0.0.1:9");
    QTemporaryDir dir;
    SettingsStore defaults(dir.filePath(u"defaults.json"_s));
    SystemClock systemClock;
    FakeDesktopPlayers players;
    QNetworkAccessManager network;
    ArtworkResolver artwork(players, network);
    BrowserBridgeService bridge(defaults, { 0 });
    auto manager
        = std::make_unique<NowPlayingAggregator>(players, &bridge, artwork, defaults, systemClock);
    QObject::connect(&bridge, &BrowserBridgeService::webStateReported, manager.get(),
                     &NowPlayingAggregator::onWebState);
    QObject::connect(&bridge, &BrowserBridgeService::webSourcesChanged, manager.get(),
                     &NowPlayingAggregator::refreshAvailableSources);
    bridge.startListener(0);
    if (!bridge.listeningPort())
        return 1;
    std::printf("PORT %u\n", unsigned(*bridge.listeningPort()));
    std::fflush(stdout);

    const auto shown
        = [&] { return manager->nowPlaying().sourceId == u"com.vesper.web.soundcloud"_s; };
    if (!waitUntil(*manager, shown, 10000)) {
        std::fprintf(stderr, "no web player showed up\n");
        return 1;
    }

    QList<qint64> samples;
    samples.reserve(rounds);
    QElapsedTimer clock;
    clock.start();
    for (int round = 0; round < rounds; ++round) {
        const bool expected = !manager->nowPlaying().isPlaying;
        const qint64 start = clock.nsecsElapsed();
        manager->togglePlayPause();
        if (!waitUntil(
                *manager, [&] { return manager->nowPlaying().isPlaying == expected; }, 5000)) {
            std::fprintf(stderr, "round %d got no answer\n", round);
            return 1;
        }
        samples.append(clock.nsecsElapsed() - start);
    }
    std::sort(samples.begin(), samples.end());
    const auto at = [&](double quantile) {
        return double(samples.at(qsizetype(quantile * double(samples.size() - 1)))) / 1000.0;
    };
    std::printf("RTT median_us=%.1f p99_us=%.1f rounds=%d\n", at(0.5), at(0.99), rounds);
    return 0;
}
