#pragma once

#include "platform/SecretBackend.h"

#include <QHash>
#include <QString>

// Owned by the test so that it outlives the backend; `refuseWrites` acts as a locked keyring.
struct SecretItems
{
    QHash<QString, QString> items;
    bool refuseWrites = false;
};

class MemorySecretBackend : public SecretBackend
{
public:
    explicit MemorySecretBackend(SecretItems &secrets) : m_secrets(secrets) { }
    std::optional<QString> read(const QString &account) override
    {
        return m_secrets.items.contains(account) ? std::optional(m_secrets.items[account])
                                                 : std::nullopt;
    }
    bool write(const QString &account, const QString &value) override
    {
        return !m_secrets.refuseWrites && (m_secrets.items.insert(account, value), true);
    }
    bool remove(const QString &account) override { return m_secrets.items.remove(account), true; }

private:
    SecretItems &m_secrets;
};
