#pragma once

#include <QString>

#include <optional>

// A store of small named secrets that survives restarts. Every item belongs to Vesper's
// service name; the account names the secret.
class SecretBackend
{
public:
    virtual ~SecretBackend() = default;

    virtual std::optional<QString> read(const QString &account) = 0;
    // True when the secret is stored; false leaves the previous item in place.
    virtual bool write(const QString &account, const QString &value) = 0;
    virtual bool remove(const QString &account) = 0;
};
