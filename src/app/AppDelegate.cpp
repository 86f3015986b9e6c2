#include "app/AppDelegate.h"

#include "core/Log.h"
#include "services/AppSettings.h"
#include "services/BrowserBridgeService.h"
#include "services/HotkeyService.h"
#include "services/MediaRemoteManager.h"
#include "services/ScrobbleManager.h"
#include "services/SpotifyAuthService.h"
#include "services/UpdateCheckService.h"

#include <QApplication>

using namespace Qt::StringLiterals;

namespace {
AppDelegate *g_shared = nullptr;
}

AppDelegate::AppDelegate(QObject *parent) : QObject(parent) { }

AppDelegate::~AppDelegate()
{
    if (g_shared == this)
        g_shared = nullptr;
}

AppDelegate *AppDelegate::shared() { return g_shared; }

void AppDelegate::applicationDidFinishLaunching()
{
    // 1. Windows and views reach the shell through shared() from here on.
    g_shared = this;
    // The browser's redirect after a Spotify authorization arrives as a "vesper:" URL.
    setCallbackHandler([](const QUrl &url) { SpotifyAuthService::shared().handleCallback(url); });

    // 2. The onboarding service decides whether setup is due (onboarding issue).
    // 3. Activation policy: a Linux application always has its windows and tray; nothing to set.
    // 4. The macOS font-smoothing and menu-image defaults have no Linux meaning.
    // 5. The floating panel and its mini player create the now-playing aggregator (panel
    //    issue). Until the panel exists Vesper runs without a window, and the aggregator is
    //    created here so that it follows the players headless.
    MediaRemoteManager::shared();

    // 6. Appearance first, so every window opens in the right palette; the panel style follows
    //    with the panel.
    AppSettings::shared().applyAppearance();

    // 7. The panel's window level from the always-on-top setting (panel issue).
    // 8. The tray icon and its menu (panel issue).
    // 9. The scrobble manager; its one-second tick runs while a Last.fm account is connected.
    ScrobbleManager::shared();
    // 10. The browser bridge's loopback WebSocket server.
    BrowserBridgeService::shared().startListener(0);
    // 11. The global shortcuts: handler, then the bindings of the settings, which reload them
    //     after every change. The panel plugs its toggle in with the panel.
    HotkeyService &hotkeys = HotkeyService::shared();
    hotkeys.setAlertSound([] { QApplication::beep(); });
    AppSettings::shared().setHotkeyReloader([&hotkeys] { hotkeys.reload(); });
    hotkeys.installHandler();
    hotkeys.reload();
    // 12. The automatic update check: at most once a day, never in a build without a site.
    UpdateCheckService::shared().checkAutomatically();
    // 13. The panel's observers of the lyrics, panel-style and always-on-top notifications.
    // 14. The onboarding window when setup is due (onboarding issue).
    qCInfo(lcApp) << "launched";
}

bool AppDelegate::isCallbackURL(const QUrl &url) { return url.scheme() == u"vesper"_s; }

void AppDelegate::openURLs(const QList<QUrl> &urls)
{
    for (const QUrl &url : urls) {
        if (!isCallbackURL(url))
            continue;
        if (m_callbackHandler) {
            m_callbackHandler(url);
        } else {
            // The query may carry an authorization code: never log it.
            qCInfo(lcApp).noquote() << "callback URL for" << url.host()
                                    << "received with no authorization service to take it";
        }
    }
}

void AppDelegate::setCallbackHandler(CallbackHandler handler)
{
    m_callbackHandler = std::move(handler);
}

void AppDelegate::quit() { QApplication::quit(); }
