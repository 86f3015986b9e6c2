#pragma once

#include <QString>

#include <memory>
#include <optional>

class SecretBackend;
class SettingsStore;

// Vesper's few secrets (the Last.fm session key, the Spotify tokens), one item per account name
// in the platform's secret store. Callers see no errors: a secret that cannot be read is
// absent, and a failed write or removal leaves the previous item in place.
class SecretStore
{
public:
    struct Account
    {
        static inline const QString lastfmSessionKey = QStringLiteral("lastfm.sessionKey");
        static inline const QString spotifyAccessToken = QStringLiteral("spotify.accessToken");
        static inline const QString spotifyRefreshToken = QStringLiteral("spotify.refreshToken");
    };

    explicit SecretStore(std::unique_ptr<SecretBackend> backend);
    ~SecretStore();
    SecretStore(const SecretStore &) = delete;
    SecretStore &operator=(const SecretStore &) = delete;

    std::optional<QString> read(const QString &account);
    // Creates or replaces the item; an empty value is stored as such. True when it is stored.
    bool write(const QString &account, const QString &value);
    // True when no item is left for the account.
    bool remove(const QString &account);

    // The secret for a credential whose earlier versions kept it under defaultsKey in the
    // settings. A legacy value is moved into the store and its key removed, but only once the
    // store holds it, so that a failing store never loses the secret.
    std::optional<QString> migrate(const QString &defaultsKey, const QString &account,
                                   SettingsStore &defaults);

private:
    std::unique_ptr<SecretBackend> m_backend;
};
