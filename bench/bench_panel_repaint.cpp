// The cost of painting the player: the whole panel, and the progress section alone (what a
// playing track repaints on every tick). Offscreen, into an image at scale 1 and 2.
// Aim: a whole repaint under 2 ms (median and p99).
#include "BenchStats.h"
#include "FakeClock.h"
#include "FakeDesktopPlayers.h"
#include "ServiceFixture.h"
#include "browser/BrowserBridgeService.h"
#include "lyrics/LyricsService.h"
#include "nowplaying/ArtworkResolver.h"
#include "nowplaying/NowPlayingAggregator.h"
#include "spotify/SpotifyAuthService.h"
#include "spotify/SpotifyLibrary.h"
#include "ui/LikeState.h"
#include "ui/MiniPlayerView.h"
#include "ui/ProgressSection.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QImage>
#include <QMenu>
#include <QPainter>

using namespace Qt::StringLiterals;

namespace {
constexpr int kSamples = 400;

QList<double> paintTimes(QWidget &widget, qreal ratio)
{
    QImage target(widget.size() * ratio, QImage::Format_ARGB32_Premultiplied);
    target.setDevicePixelRatio(ratio);
    QList<double> samples;
    for (int i = 0; i < kSamples; ++i) {
        target.fill(Qt::transparent);
        QElapsedTimer timer;
        timer.start();
        widget.render(&target);
        samples.append(double(timer.nsecsElapsed()) / 1e6);
    }
    return samples;
}
} // namespace

int main(int argc, char *argv[])
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    ServiceFixture fixture;
    FakeDesktopPlayers players;
    FakeClock clock;
    ArtworkResolver artwork(players, fixture.network());
    BrowserBridgeService bridge(fixture.settings(), {});
    NowPlayingAggregator nowPlaying(players, &bridge, artwork, fixture.settings(), clock);
    LyricsService lyrics(fixture.network());
    SpotifyAuthService spotifyAuth(fixture.settings(), fixture.secrets(), fixture.network(), clock,
                                   [](const QUrl &) { return true; });
    SpotifyLibrary library(spotifyAuth);
    LikeState like(nowPlaying, bridge, spotifyAuth, library, players);
    QMenu menu;
    MiniPlayerView view(nowPlaying, lyrics, like, menu);
    players.announce(u"com.spotify.client"_s,
                     { PlaybackState::Playing, u"Evening Tide"_s, u"Bench Artist"_s,
                       u"Bench Album"_s, 300, 42 });
    ProgressSection *progress = view.findChild<ProgressSection *>();

    for (const qreal ratio : { 1.0, 2.0 }) {
        const QByteArray scale = " at scale " + QByteArray::number(ratio);
        printStats(QByteArray("whole player" + scale).constData(), paintTimes(view, ratio), "ms");
        printStats(QByteArray("progress section" + scale).constData(), paintTimes(*progress, ratio),
                   "ms");
    }
    std::printf("aim: a whole repaint under 2 ms\n");
    return 0;
}
