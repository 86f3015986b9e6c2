#include "settings/SecretStore.h"

#include "core/Log.h"
#include "core/SettingsStore.h"
#include "platform/SecretBackend.h"

SecretStore::SecretStore(std::unique_ptr<SecretBackend> backend) : m_backend(std::move(backend)) { }

SecretStore::~SecretStore() = default;

std::optional<QString> SecretStore::read(const QString &account)
{
    return m_backend->read(account);
}

bool SecretStore::write(const QString &account, const QString &value)
{
    return m_backend->write(account, value);
}

bool SecretStore::remove(const QString &account) { return m_backend->remove(account); }

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
