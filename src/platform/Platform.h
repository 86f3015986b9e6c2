#pragma once

#include <memory>

class DesktopAppearance;
class LoginItem;
class SecretBackend;

// The production implementations of the platform interfaces.
namespace Platform {
std::unique_ptr<LoginItem> createLoginItem();
std::unique_ptr<SecretBackend> createSecretBackend();
DesktopAppearance &desktopAppearance();
} // namespace Platform
