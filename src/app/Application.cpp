#include "app/Application.h"

#include "browser/BrowserBridgeService.h"
#include "core/Clock.h"
#include "core/Endpoints.h"
#include "core/Log.h"
#include "core/Network.h"
#include "core/SettingsStore.h"
#include "lyrics/LyricsService.h"
#include "nowplaying/ArtworkResolver.h"
#include "nowplaying/NowPlayingAggregator.h"
#include "platform/DesktopAppearance.h"
#include "platform/DesktopPlayers.h"
#include "platform/GlobalShortcuts.h"
#include "platform/LoginItem.h"
#include "platform/PanelWindowSystem.h"
#include "platform/Platform.h"
#include "platform/SecretBackend.h"
#include "platform/Workspace.h"
#include "scrobbling/LastFmService.h"
#include "scrobbling/ScrobbleManager.h"
#include "scrobbling/ScrobbleQueue.h"
#include "settings/AppSettings.h"
#include "settings/SecretStore.h"
#include "shortcuts/HotkeyService.h"
#include "spotify/SpotifyAuthService.h"
#include "spotify/SpotifyLibrary.h"
#include "ui/FloatingPanel.h"
#include "ui/LikeState.h"
#include "ui/LimitedSupportTooltip.h"
#include "ui/MiniPlayerView.h"
#include "ui/PlayerMenu.h"
#include "ui/PlayerPresentation.h"
#include "ui/SpotifyConnectPrompt.h"
#include "ui/TrayIcon.h"
#include "updates/UpdateCheckService.h"

#include <QApplication>
#include <QCursor>
#include <QDesktopServices>
#include <QNetworkAccessManager>

using namespace Qt::StringLiterals;

Application::Application(QObject *parent) : QObject(parent) { }

Application::~Application() = default;

void Application::launch()
{
    if (m_settingsStore)
        return;
    const auto openInBrowser = [](const QUrl &url) { return QDesktopServices::openUrl(url); };

    m_network = createNetworkAccessManager();
    m_clock = std::make_unique<SystemClock>();
    m_settingsStore = std::make_unique<SettingsStore>(SettingsStore::standardFilePath());
    m_desktopAppearance = Platform::createDesktopAppearance();
    m_settings = std::make_unique<AppSettings>(*m_settingsStore, Platform::createLoginItem(),
                                               *m_desktopAppearance);

    m_secrets = std::make_unique<SecretStore>(Platform::createSecretBackend());

    // The Spotify authorization first: the browser's redirect after it arrives as a "vesper:"
    // URL, possibly with this very launch.
    m_spotifyAuth = std::make_unique<SpotifyAuthService>(*m_settingsStore, *m_secrets, *m_network,
                                                         *m_clock, openInBrowser);
    m_spotifyLibrary = std::make_unique<SpotifyLibrary>(*m_spotifyAuth);

    // Now playing: the desktop players and the browser feed one aggregator, which follows them
    // headless until the panel shows it.
    m_desktopPlayers = Platform::createDesktopPlayers();
    m_artwork = std::make_unique<ArtworkResolver>(*m_desktopPlayers, *m_network);
    m_browserBridge = std::make_unique<BrowserBridgeService>(*m_settingsStore);
    m_nowPlaying = std::make_unique<NowPlayingAggregator>(*m_desktopPlayers, m_browserBridge.get(),
                                                          *m_artwork, *m_settingsStore, *m_clock);
    // What the bridge learns reaches the aggregator at once, in the order it was learnt.
    connect(m_browserBridge.get(), &BrowserBridgeService::webStateReported, m_nowPlaying.get(),
            &NowPlayingAggregator::onWebState, Qt::DirectConnection);
    connect(m_browserBridge.get(), &BrowserBridgeService::webSourcesChanged, m_nowPlaying.get(),
            &NowPlayingAggregator::refreshAvailableSources, Qt::DirectConnection);
    m_lyrics = std::make_unique<LyricsService>(*m_network);

    // Every window opens in the right palette.
    m_settings->applyAppearance();
    m_updates = std::make_unique<UpdateCheckService>(
        *m_network, *m_settingsStore, *m_clock, Endpoints::updateSite(),
        UpdateCheckService::buildVersion(), [this] { return m_settings->autoCheckUpdates(); });
    buildWindows();

    // Scrobbling; its one-second tick runs while a Last.fm account is connected. The account
    // and the manager share the one offline queue.
    m_scrobbleQueue = std::make_unique<ScrobbleQueue>(*m_settingsStore);
    m_lastfm = std::make_unique<LastFmService>(*m_settingsStore, *m_secrets, *m_scrobbleQueue,
                                               *m_network, openInBrowser);
    m_scrobbles = std::make_unique<ScrobbleManager>(*m_nowPlaying, *m_lastfm, *m_scrobbleQueue,
                                                    *m_settings, *m_clock);

    m_browserBridge->startListener(0);

    // The global shortcuts follow every change of their bindings.
    m_globalShortcuts = Platform::createGlobalShortcuts();
    m_hotkeys = std::make_unique<HotkeyService>(*m_globalShortcuts, *m_settings, *m_nowPlaying);
    m_hotkeys->setAlertSound([] { QApplication::beep(); });
    connect(m_settings.get(), &AppSettings::hotkeyTableChanged, m_hotkeys.get(),
            &HotkeyService::reload);
    m_hotkeys->installHandler();
    m_hotkeys->reload();

    m_hotkeys->setPanelToggle([this] { m_panel->togglePanel(); });
    connect(m_hotkeys.get(), &HotkeyService::lyricsToggleRequested, m_panel.get(),
            [this] { m_miniPlayer->toggleLyrics(); });
    connect(m_hotkeys.get(), &HotkeyService::likeToggleRequested, m_panel.get(),
            [this] { m_miniPlayer->requestLikeToggle(); });

    // At most once a day, and never in a build without a product site.
    m_updates->checkAutomatically();

    qCInfo(lcApp) << "launched";
}

void Application::buildWindows()
{
    m_panelWindowSystem = Platform::createPanelWindowSystem();
    m_workspace = Platform::createWorkspace();
    m_likeState = std::make_unique<LikeState>(*m_nowPlaying, *m_browserBridge, *m_spotifyAuth,
                                              *m_spotifyLibrary, *m_desktopPlayers);
    m_playerMenu = std::make_unique<PlayerMenu>(PlayerMenu::Style::Player, *m_nowPlaying,
                                                *m_settings, *m_updates, *m_browserBridge);
    m_trayMenu = std::make_unique<PlayerMenu>(PlayerMenu::Style::Tray, *m_nowPlaying, *m_settings,
                                              *m_updates, *m_browserBridge);
    m_miniPlayer = new MiniPlayerView(*m_nowPlaying, *m_lyrics, *m_likeState, m_playerMenu->menu());
    m_panel = std::make_unique<FloatingPanel>(m_miniPlayer, *m_panelWindowSystem, *m_settings);
    m_limitedTooltip = std::make_unique<LimitedSupportTooltip>(
        m_panelWindowSystem->backdrop() != PanelWindowSystem::Backdrop::Opaque);

    connect(m_miniPlayer, &MiniPlayerView::limitedSupportHovered, m_limitedTooltip.get(),
            &LimitedSupportTooltip::showAbove);
    connect(m_miniPlayer, &MiniPlayerView::limitedSupportLeft, m_limitedTooltip.get(),
            &QWidget::hide);
    // Until the source chooser window exists, "Start Listening" opens the same list in the menu.
    for (const auto request :
         { &MiniPlayerView::sourceMenuRequested, &MiniPlayerView::chooseSourceRequested })
        connect(m_miniPlayer, request, m_panel.get(),
                [this] { m_playerMenu->menu().popup(QCursor::pos()); });
    connect(m_miniPlayer, &MiniPlayerView::openSourceRequested, m_panel.get(), [this] {
        const Source source = PlayerPresentation::currentSource(m_nowPlaying->nowPlaying(),
                                                                m_nowPlaying->lockedSource());
        if (const std::optional<QUrl> page = PlayerPresentation::webPageOf(source))
            QDesktopServices::openUrl(*page);
        else if (source.isDesktopSource())
            m_workspace->openPlayer(source.rawValue());
    });
    connect(m_likeState.get(), &LikeState::spotifyConnectNeeded, m_panel.get(), [this] {
        if (askToConnectSpotify())
            m_spotifyAuth->startAuth();
    });
    for (PlayerMenu *menu : { m_playerMenu.get(), m_trayMenu.get() }) {
        connect(menu, &PlayerMenu::togglePanelRequested, m_panel.get(),
                &FloatingPanel::togglePanel);
        connect(menu, &PlayerMenu::lyricsToggleRequested, m_miniPlayer,
                &MiniPlayerView::toggleLyrics);
        connect(menu, &PlayerMenu::quitRequested, this, &Application::quit);
        connect(m_panel.get(), &FloatingPanel::shownChanged, menu, &PlayerMenu::setPanelShown);
        connect(m_miniPlayer, &MiniPlayerView::lyricsToggled, menu, &PlayerMenu::setLyricsShowing);
    }

    m_panel->moveToStartPlace();
    m_panel->showPanel();
    m_tray = std::make_unique<TrayIcon>(m_trayMenu->menu(), Platform::legacyTrayPresent());
    connect(m_tray.get(), &TrayIcon::activated, m_panel.get(), &FloatingPanel::togglePanel);
}

bool Application::isCallbackURL(const QUrl &url) { return url.scheme() == u"vesper"_s; }

void Application::openURLs(const QList<QUrl> &urls)
{
    for (const QUrl &url : urls) {
        if (!isCallbackURL(url))
            continue;
        if (m_spotifyAuth) {
            m_spotifyAuth->handleCallback(url);
        } else {
            // The query may carry an authorization code: never log it.
            qCInfo(lcApp).noquote() << "callback URL for" << url.host()
                                    << "received with no authorization service to take it";
        }
    }
}

void Application::quit() { QApplication::quit(); }
