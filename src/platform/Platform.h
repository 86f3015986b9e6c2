#pragma once

#include <memory>

class DesktopAppearance;
class DesktopPlayers;
class GlobalShortcuts;
class LoginItem;
class SecretBackend;

// The production implementations of the platform interfaces.
namespace Platform {
std::unique_ptr<LoginItem> createLoginItem();
std::unique_ptr<SecretBackend> createSecretBackend();
DesktopAppearance &desktopAppearance();
// Spotify and Apple Music as MPRIS 2 players on the session bus.
std::unique_ptr<DesktopPlayers> createDesktopPlayers();
// Key grabs on the X11 display Qt is connected to.
std::unique_ptr<GlobalShortcuts> createGlobalShortcuts();
} // namespace Platform
