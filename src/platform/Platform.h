#pragma once

#include <memory>

class DesktopAppearance;
class DesktopPlayers;
class GlobalShortcuts;
class LoginItem;
class PanelWindowSystem;
class SecretBackend;
class Workspace;

// The production implementations of the platform interfaces.
namespace Platform {
std::unique_ptr<LoginItem> createLoginItem();
std::unique_ptr<SecretBackend> createSecretBackend();
// The desktop's colour-scheme preference, through the settings portal.
std::unique_ptr<DesktopAppearance> createDesktopAppearance();
// Spotify and Apple Music as MPRIS 2 players on the session bus.
std::unique_ptr<DesktopPlayers> createDesktopPlayers();
// Key grabs on the X11 display Qt is connected to.
std::unique_ptr<GlobalShortcuts> createGlobalShortcuts();
// The floating panel's backdrop, blur and workspaces on the X11 display Qt is connected to.
std::unique_ptr<PanelWindowSystem> createPanelWindowSystem();
// Whether an XEmbed system tray (the _NET_SYSTEM_TRAY_S<n> selection) is on the X11 display.
bool legacyTrayPresent();
// Players started through their desktop entries.
std::unique_ptr<Workspace> createWorkspace();
} // namespace Platform
