#pragma once

#include <QList>
#include <QObject>
#include <QUrl>

#include <memory>

class AppSettings;
class ArtworkResolver;
class FloatingPanel;
class LikeState;
class LimitedSupportTooltip;
class MiniPlayerView;
class PanelWindowSystem;
class PlayerMenu;
class TrayIcon;
class BrowserBridgeService;
class Clock;
class DesktopAppearance;
class DesktopPlayers;
class GlobalShortcuts;
class HotkeyService;
class LastFmService;
class LyricsService;
class NowPlayingAggregator;
class QNetworkAccessManager;
class ScrobbleManager;
class ScrobbleQueue;
class SecretStore;
class SettingsStore;
class SpotifyAuthService;
class SpotifyLibrary;
class UpdateCheckService;
class Workspace;

// Vesper put together: creates every service once, in launch order, hands each the
// collaborators it calls, connects them, and owns them until the process ends.
class Application : public QObject
{
    Q_OBJECT
public:
    explicit Application(QObject *parent = nullptr);
    ~Application() override;

    // Runs the launch sequence; the first call only.
    void launch();

    // Hands every "vesper:" URL, in order, to the Spotify authorization; others are ignored.
    void openURLs(const QList<QUrl> &urls);
    void quit();

    static bool isCallbackURL(const QUrl &url);

private:
    void buildWindows();

    // In launch order, so that they are destroyed in reverse (the update check is made early,
    // for the menus, and asks late).
    std::unique_ptr<Clock> m_clock;
    std::unique_ptr<SettingsStore> m_settingsStore;
    std::unique_ptr<DesktopAppearance> m_desktopAppearance;
    std::unique_ptr<AppSettings> m_settings;
    std::unique_ptr<SecretStore> m_secrets;
    std::unique_ptr<SpotifyAuthService> m_spotifyAuth;
    std::unique_ptr<SpotifyLibrary> m_spotifyLibrary;
    std::unique_ptr<DesktopPlayers> m_desktopPlayers;
    std::unique_ptr<ArtworkResolver> m_artwork;
    std::unique_ptr<BrowserBridgeService> m_browserBridge;
    std::unique_ptr<NowPlayingAggregator> m_nowPlaying;
    std::unique_ptr<LyricsService> m_lyrics;
    std::unique_ptr<ScrobbleQueue> m_scrobbleQueue;
    std::unique_ptr<LastFmService> m_lastfm;
    std::unique_ptr<ScrobbleManager> m_scrobbles;
    std::unique_ptr<GlobalShortcuts> m_globalShortcuts;
    std::unique_ptr<HotkeyService> m_hotkeys;
    std::unique_ptr<UpdateCheckService> m_updates;
    // The windows, after every service they show, so that they go first.
    std::unique_ptr<PanelWindowSystem> m_panelWindowSystem;
    std::unique_ptr<Workspace> m_workspace;
    std::unique_ptr<LikeState> m_likeState;
    std::unique_ptr<PlayerMenu> m_playerMenu;
    std::unique_ptr<PlayerMenu> m_trayMenu;
    std::unique_ptr<FloatingPanel> m_panel;
    MiniPlayerView *m_miniPlayer = nullptr; // the panel's child
    std::unique_ptr<LimitedSupportTooltip> m_limitedTooltip;
    std::unique_ptr<TrayIcon> m_tray;
    // Made first but declared last, so it goes first: the replies it aborts end their callers'
    // requests while those callers still exist.
    std::unique_ptr<QNetworkAccessManager> m_network;
};
