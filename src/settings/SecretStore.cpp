#include "settings/SecretStore.h"

#include "core/Log.h"
#include "core/SettingsStore.h"
#include "platform/Platform.h"
#include "platform/SecretBackend.h"

namespace {
std::unique_ptr<SecretBackend> &backendSlot()
{
    static std::unique_ptr<SecretBackend> backend;
    return backend;
}

SecretBackend &backend()
{
    auto &slot = backendSlot();
    if (!slot)
        slot = Platform::createSecretBackend();
    return *slot;
}
} // namespace

std::optional<QString> SecretStore::read(const QString &account) { return backend().read(account); }

bool SecretStore::write(const QString &account, const QString &value)
{
    return backend().write(account, value);
}

bool SecretStore::remove(const QString &account) { return backend().remove(account); }

std::optional<QString> SecretStore::migrate(const QString &defaultsKey, const QString &account,
                                            SettingsStore &defaults)
{
    if (const auto stored = read(account)) {
        defaults.remove(defaultsKey);
        return stored;
    }
    const auto legacy = defaults.stringValue(defaultsKey);
    if (!legacy || legacy->isEmpty())
        return std::nullopt;
    if (write(account, *legacy))
        defaults.remove(defaultsKey);
    else
        qCDebug(lcKeychain).noquote()
            << "could not store" << account << "yet; its settings key stays until a later start";
    return legacy;
}

void SecretStore::setBackend(std::unique_ptr<SecretBackend> backend)
{
    backendSlot() = std::move(backend);
}
