#include "FakeClock.h"
#include "FakeDesktopPlayers.h"
#include "FakeHttpServer.h"
#include "FakeWebBridge.h"
#include "LogCapture.h"
#include "QuietDesktop.h"
#include "ServiceFixture.h"
#include "browser/BrowserBridgeService.h"
#include "core/SettingsKeys.h"
#include "core/SettingsStore.h"
#include "lyrics/LyricsService.h"
#include "nowplaying/ArtworkResolver.h"
#include "nowplaying/NowPlayingAggregator.h"
#include "settings/AppSettings.h"
#include "settings/SecretStore.h"
#include "spotify/SpotifyAuthService.h"
#include "spotify/SpotifyLibrary.h"
#include "ui/FloatingPanel.h"
#include "ui/LikeState.h"
#include "ui/MiniPlayerView.h"
#include "ui/PlayerControlButton.h"
#include "ui/PlayerMenu.h"
#include "ui/ProgressSection.h"
#include "updates/UpdateCheckService.h"

#include <QMenu>
#include <QPaintEvent>
#include <QPushButton>
#include <QScreen>
#include <QSignalSpy>
#include <QTest>

#include <cmath>

using namespace Qt::StringLiterals;

namespace {
const QString kSpotify = u"com.spotify.client"_s;

// The view over real services, with a fake desktop player and the bridge fed by hand.
struct Player
{
    Player()
    {
        QObject::connect(&bridge, &BrowserBridgeService::webStateReported, &nowPlaying,
                         &NowPlayingAggregator::onWebState);
        bridge.handle(R"({"type":"hello","version":4})", 1);
    }
    void play(const QString &title, double duration = 200)
    {
        players.announce(kSpotify,
                         { PlaybackState::Playing, title, u"Artist"_s, u"Album"_s, duration, 0 });
    }
    void playOnTheWeb(const QByteArray &supports)
    {
        bridge.handle(R"({"type":"state","source":"soundcloud","title":"Web","isPlaying":true,)"
                      R"("duration":300,"position":30,"supports":)"
                          + supports + "}",
                      1);
    }
    template<typename T> T *child(const QString &name)
    {
        for (T *widget : view.findChildren<T *>()) {
            if (widget->accessibleName() == name || name.isEmpty())
                return widget;
        }
        return nullptr;
    }

    ServiceFixture fixture;
    FakeDesktopPlayers players;
    FakeClock clock;
    ArtworkResolver artwork { players, fixture.network() };
    BrowserBridgeService bridge { fixture.settings(), {} };
    NowPlayingAggregator nowPlaying { players, &bridge, artwork, fixture.settings(), clock };
    LyricsService lyrics { fixture.network() };
    SpotifyAuthService spotifyAuth { fixture.settings(), fixture.secrets(), fixture.network(),
                                     clock, [](const QUrl &) { return true; } };
    SpotifyLibrary library { spotifyAuth };
    LikeState like { nowPlaying, bridge, spotifyAuth, library, players };
    QMenu menu;
    MiniPlayerView view { nowPlaying, lyrics, like, menu };
    LightDesktop desktop;
    AppSettings settings { fixture.settings(), std::make_unique<NoLoginItem>(), desktop };
    UpdateCheckService updates { fixture.network(), fixture.settings(),  clock, QUrl(),
                                 u"1.0"_s,          [] { return false; } };
};

QStringList shownTexts(QMenu &menu)
{
    QStringList texts;
    for (const QAction *action : menu.actions()) {
        if (action->isVisible() && !action->isSeparator())
            texts.append(action->text() + (action->isChecked() ? u" ✓"_s : QString()));
    }
    return texts;
}

// A window system that offers nothing beyond Qt.
class PlainWindowSystem : public PanelWindowSystem
{
public:
    Backdrop backdrop() const override { return Backdrop::Translucent; }
    void setBlurBehind(QWindow &, const QRegion &) override { }
    void setPanelStates(QWindow &) override { }
};

// Paint events received by a widget and its children while it lives.
class PaintLog : public QObject
{
public:
    explicit PaintLog(QWidget &root)
    {
        root.installEventFilter(this);
        for (QWidget *child : root.findChildren<QWidget *>())
            child->installEventFilter(this);
    }
    QHash<QObject *, QRegion> painted;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::Paint)
            painted[watched] += static_cast<QPaintEvent *>(event)->region();
        return false;
    }
};
} // namespace

class TestPlayerView : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void showsWhatThereIsToShow()
    {
        Player player;
        auto *startListening = player.child<QPushButton>({});
        QVERIFY(startListening && startListening->isVisibleTo(&player.view));
        player.play(u"Song"_s);
        QVERIFY(!startListening->isVisibleTo(&player.view));
        QCOMPARE(player.view.size(), QSize(240, 386));
        QSignalSpy toggled(&player.view, &MiniPlayerView::lyricsToggled);
        player.view.toggleLyrics();
        QCOMPARE(player.view.sizeHint(), QSize(600, 480));
        QCOMPARE(toggled.takeFirst().first().toBool(), true);
    }

    // Records no player should send still paint within the panel's size, at once.
    void oddRecordsStayWithinTheView()
    {
        Player player;
        const QString huge = QString(10 * 1024 * 1024, u'ש') + u"🎵"_s;
        player.players.announce(
            kSpotify, { PlaybackState::Playing, huge, u"مغني 🎤"_s, huge, std::nan(""), 1e12 });
        QCOMPARE(player.view.grab().deviceIndependentSize(), QSizeF(240, 386));
        player.players.announce(
            kSpotify,
            { PlaybackState::Playing, u"   "_s, QString(), QString(), 7 * 24 * 3600.0, 9e9 });
        QCOMPARE(player.view.grab().deviceIndependentSize(), QSizeF(240, 386));
    }

    // A control the source lacks logs and does nothing; one it has works.
    void controlsAreGatedByTheSource()
    {
        Player player;
        player.playOnTheWeb(R"(["next"])");
        auto *previous = player.child<PlayerControlButton>(u"Previous Track"_s);
        auto *next = player.child<PlayerControlButton>(u"Next Track"_s);
        QVERIFY(!previous->isSupported() && next->isSupported());
        QSignalSpy previousTriggered(previous, &PlayerControlButton::triggered);
        QSignalSpy nextTriggered(next, &PlayerControlButton::triggered);
        LogCapture log;
        QTest::mouseClick(previous, Qt::LeftButton);
        QTest::mouseClick(next, Qt::LeftButton);
        QCOMPARE(previousTriggered.size(), 0);
        QCOMPARE(nextTriggered.size(), 1);
        QVERIFY(log.contains(
            u"Vesper: control blocked — Previous Track is unavailable for the current source"_s));
    }

    // The seek is sent once, on release, where the pointer let go, clamped to the bar; never
    // for a source that cannot seek, even one that lost seek during the drag.
    void seekingCommitsOnRelease()
    {
        Player player;
        auto *progress = player.child<ProgressSection>({});
        QSignalSpy seeks(progress, &ProgressSection::seekRequested);
        const int band = ProgressSection::grabOverhang + 2;
        const auto drag = [&](int from, int to) {
            QTest::mousePress(progress, Qt::LeftButton, {}, QPoint(from, band));
            QTest::mouseMove(progress, QPoint(to, band));
            QVERIFY(progress->isSeeking() || seeks.isEmpty());
            QTest::mouseRelease(progress, Qt::LeftButton, {}, QPoint(to, band));
        };
        player.play(u"Song"_s, 200);
        drag(40, progress->width() + 50);
        QCOMPARE(seeks.size(), 1);
        QCOMPARE(seeks.takeFirst().first().toDouble(), 200.0);
        QVERIFY(!progress->isSeeking());

        player.playOnTheWeb(R"(["next"])");
        drag(40, 80);
        QTest::mousePress(progress, Qt::LeftButton, {}, QPoint(40, band));
        player.play(u"Song"_s, 200);
        player.playOnTheWeb(R"(["next"])");
        QTest::mouseRelease(progress, Qt::LeftButton, {}, QPoint(60, band));
        QVERIFY(seeks.isEmpty() && !progress->isSeeking());
    }

    // The tray's menu is right whenever it opens: built once, its rows follow what they show.
    void trayMenuFollowsWithoutBeingOpened()
    {
        Player player;
        PlayerMenu tray(PlayerMenu::Style::Tray, player.nowPlaying, player.settings, player.updates,
                        player.bridge);
        tray.setPanelShown(false);
        QStringList expected { u"Show Vesper"_s,
                               u"Always on Top ✓"_s,
                               u"Show Lyrics"_s,
                               u"Music Source"_s,
                               u"Spotify (Not Running)"_s,
                               u"Music (Not Running)"_s,
                               u"Settings…"_s,
                               u"Quit Vesper"_s };
        QCOMPARE(shownTexts(tray.menu()), expected);

        player.players.setRunning({ kSpotify });
        player.play(u"Song"_s);
        player.settings.setAlwaysOnTop(false);
        tray.setPanelShown(true);
        tray.setLyricsShowing(true);
        expected = QStringList { u"Hide Vesper"_s,  u"Always on Top"_s, u"Hide Lyrics"_s,
                                 u"Music Source"_s, u"Spotify ✓"_s,     u"Music (Not Running)"_s,
                                 u"Settings…"_s,    u"Quit Vesper"_s };
        QTRY_COMPARE(shownTexts(tray.menu()), expected);

        // Choosing a row locks that source.
        tray.menu().actions().at(5)->trigger();
        QCOMPARE(player.nowPlaying.lockedSource(), Source(Source::Spotify));
    }

    // Like reaches the track's own source: the extension's "like" for a web player, the user's
    // library for Spotify, where a like without an account asks to connect instead.
    void likesReachTheirSource()
    {
        ServiceFixture fixture;
        FakeHttpServer api;
        fixture.setEndpoint("VESPER_SPOTIFY_API_URL", api.url());
        api.route("GET", u"/v1/me/library/contains"_s, FakeHttpServer::Response::ok("[true]"));
        api.route("DELETE", u"/v1/me/library"_s, FakeHttpServer::Response::withStatus(200));
        FakeDesktopPlayers players;
        FakeClock clock;
        FakeWebBridge bridge;
        ArtworkResolver artwork(players, fixture.network());
        NowPlayingAggregator nowPlaying(players, &bridge, artwork, fixture.settings(), clock);
        const auto makeAuth = [&] {
            return std::make_unique<SpotifyAuthService>(fixture.settings(), fixture.secrets(),
                                                        fixture.network(), clock,
                                                        [](const QUrl &) { return true; });
        };
        {
            const auto spotifyAuth = makeAuth();
            SpotifyLibrary library(*spotifyAuth);
            LikeState like(nowPlaying, bridge, *spotifyAuth, library, players);
            QSignalSpy connectNeeded(&like, &LikeState::spotifyConnectNeeded);

            WebPlayerState web;
            web.source = u"ytmusic"_s;
            web.title = u"Web"_s;
            web.isPlaying = true;
            web.liked = true;
            web.capabilities = SourceCapability::Like;
            bridge.last = web;
            nowPlaying.onWebState(web);
            QVERIFY(like.isLiked() && like.isSupported());
            like.toggle();
            QVERIFY(!like.isLiked());
            QCOMPARE(bridge.sent, QStringList { u"like com.vesper.web.ytmusic"_s });

            nowPlaying.onWebState(std::nullopt);
            players.announce(kSpotify,
                             { PlaybackState::Playing, u"Song"_s, u"A"_s, u"B"_s, 200, 0 });
            like.toggle();
            QCOMPARE(connectNeeded.size(), 1);
            QVERIFY(!like.isLiked());
        }

        // Connected: the library says whether the track is liked; a toggle shows at once.
        fixture.secretItems().items = { { SecretStore::Account::spotifyAccessToken, u"a"_s },
                                        { SecretStore::Account::spotifyRefreshToken, u"r"_s } };
        fixture.settings().setValue(SettingsKeys::spotifyCustomClientID,
                                    u"0123456789abcdef0123456789abcdef"_s);
        const auto spotifyAuth = makeAuth();
        SpotifyLibrary library(*spotifyAuth);
        LikeState like(nowPlaying, bridge, *spotifyAuth, library, players);
        players.spotifyTrack = u"4uLU6hMCjMI75M1A2tKUQC"_s;
        players.announce(kSpotify, { PlaybackState::Playing, u"Next"_s, u"A"_s, u"B"_s, 200, 0 });
        QTRY_VERIFY(like.isLiked());
        QVERIFY(like.isSupported());
        like.toggle();
        QVERIFY(!like.isLiked());
        QTRY_COMPARE(api.requests(u"/v1/me/library"_s).size(), 1);
        QCOMPARE(api.requests(u"/v1/me/library"_s).first().method, "DELETE");
        QVERIFY(fixture.networkDrained());
    }

    // The panel starts at the top right, 20 pixels in; it grows left and down for the lyrics;
    // when the screen it was on goes, it comes back where it started.
    void panelKeepsItsPlace()
    {
        Player player;
        PlainWindowSystem windowSystem;
        auto *view = new MiniPlayerView(player.nowPlaying, player.lyrics, player.like, player.menu);
        FloatingPanel panel(view, windowSystem, player.settings);
        panel.moveToStartPlace();
        panel.showPanel();
        const QRect area = QGuiApplication::primaryScreen()->availableGeometry();
        const QPoint start(area.right() + 1 - 240 - 20, area.top() + 20);
        QCOMPARE(panel.pos(), start);
        view->toggleLyrics();
        QTRY_COMPARE(panel.geometry(), QRect(start.x() + 240 - 600, start.y(), 600, 480));
        QCOMPARE(view->size(), QSize(600, 480));
        panel.move(area.right() + 5000, area.bottom() + 5000);
        Q_EMIT qGuiApp->screenRemoved(QGuiApplication::primaryScreen());
        QTRY_COMPARE(panel.pos(), QPoint(area.right() + 1 - 600 - 20, area.top() + 20));
    }

    // A playing track moves only its progress: nothing else of the panel is painted again.
    void aTickRepaintsOnlyTheProgress()
    {
        Player player;
        player.play(u"Song"_s, 200);
        player.view.show();
        QVERIFY(QTest::qWaitForWindowExposed(&player.view));
        QCoreApplication::processEvents();
        PaintLog log(player.view);
        player.clock.advance(1);
        player.nowPlaying.tickProgress();
        QTRY_VERIFY(!log.painted.isEmpty());
        auto *progress = player.child<ProgressSection>({});
        for (auto it = log.painted.cbegin(); it != log.painted.cend(); ++it) {
            if (it.key() == &player.view)
                QVERIFY(progress->geometry().contains(it.value().boundingRect()));
            else
                QCOMPARE(it.key(), progress);
        }
    }
};

QTEST_MAIN(TestPlayerView)
#include "test_player_view.moc"
