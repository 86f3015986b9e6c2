#pragma once

#include "spotify/SpotifyProtocol.h"

#include <QByteArray>
#include <QDateTime>
#include <QFuture>
#include <QJsonObject>
#include <QList>
#include <QNetworkRequest>
#include <QObject>
#include <QString>
#include <QUrl>

#include <qcoro/qcorotask.h>

#include <chrono>
#include <functional>
#include <optional>
#include <utility>

class Clock;
class QNetworkAccessManager;
class SecretStore;
class SettingsStore;

// Connects the user's Spotify account (OAuth 2.0 authorization code with PKCE, in the browser,
// under the user's own client ID) and makes the authorized Web API calls for the rest of Vesper.
// The tokens live in the secret store, never in the settings or a log line.
class SpotifyAuthService : public QObject
{
    Q_OBJECT
    Q_PROPERTY(
        std::optional<QString> customClientID READ customClientID NOTIFY customClientIDChanged)
    Q_PROPERTY(std::optional<QString> accessToken READ accessToken NOTIFY accessTokenChanged)
    Q_PROPERTY(bool isConnected READ isConnected NOTIFY accessTokenChanged)
    Q_PROPERTY(std::optional<QString> displayName READ displayName NOTIFY displayNameChanged)
    Q_PROPERTY(std::optional<QString> avatarURL READ avatarURL NOTIFY avatarURLChanged)

public:
    // Opens a URL in the user's browser; false when nothing could open it.
    using OpenURL = std::function<bool(const QUrl &)>;

    // A Web API answer: the HTTP status and the whole body, whatever the status.
    struct ApiReply
    {
        int status = -1;
        QByteArray body;

        bool isSuccess() const { return status >= 200 && status <= 299; }
    };

    // Bodies larger than this are refused; every answer Vesper reads is a few hundred bytes.
    static constexpr qint64 maxReplyBytes = 1024 * 1024;
    // How often one call is repeated after a 401, so that a call always ends.
    static constexpr int maxAuthRetries = 1;
    // How long the Web API is left alone after a 429 that names no usable Retry-After.
    static constexpr double defaultRetryAfterSeconds = 30;

    SpotifyAuthService(SettingsStore &defaults, SecretStore &secrets,
                       QNetworkAccessManager &network, Clock &clock, OpenURL openURL,
                       QObject *parent = nullptr);
    ~SpotifyAuthService() override;

    std::optional<QString> customClientID() const { return m_customClientID; }
    std::optional<QString> accessToken() const { return m_accessToken; }
    bool isConnected() const { return m_accessToken.has_value(); }
    std::optional<QString> displayName() const { return m_displayName; }
    std::optional<QString> avatarURL() const { return m_avatarURL; }

    QUrl baseURL() const { return m_baseURL; }
    QUrl tokenURL() const { return m_tokenURL; }

    // Opens the authorization page in the browser; does nothing without a client ID.
    void startAuth();
    // A "vesper:" URL opened by the browser's redirect. A "code" item starts the exchange for the
    // authorization in progress; anything else is ignored.
    void handleCallback(const QUrl &url);
    // Sets or clears the user's client ID (trimmed; empty means none). A different ID signs the
    // account out first, so tokens of one ID are never used with another. An ID that is not
    // letters and digits is refused with a log line and changes nothing; false then.
    bool setClientID(const std::optional<QString> &clientID);
    // Forgets the account; the client ID stays.
    void disconnect();
    // Refreshes the display name and avatar from the profile.
    QCoro::Task<> fetchProfile();

    // An authorized Web API call: path below the base (may carry a query), method, optional JSON
    // body. The body of any HTTP answer; none when nothing was sent or nothing came back.
    QCoro::Task<std::optional<QByteArray>> request(QString path, QString method,
                                                   std::optional<QJsonObject> body = {});
    // The same call, with the status of the answer.
    QCoro::Task<std::optional<ApiReply>> apiCall(QString path, QString method,
                                                 std::optional<QJsonObject> body = {});

    // Every exchange or Web API transfer must be complete within this time; 60 seconds unless
    // set.
    void setTransferTimeout(std::chrono::milliseconds timeout) { m_timeout = timeout; }

Q_SIGNALS:
    void customClientIDChanged();
    void accessTokenChanged();
    void displayNameChanged();
    void avatarURLChanged();
    // A code exchange ended, successfully or not.
    void codeExchangeFinished(bool connected);

private:
    struct HttpOutcome
    {
        bool answered = false; // a status and the whole body arrived
        int status = -1;
        QByteArray body;
        QByteArray retryAfter;
        QString error;
    };

    QCoro::Task<HttpOutcome> send(QNetworkRequest request, QByteArray verb, QByteArray body);
    QCoro::Task<HttpOutcome> postToTokenEndpoint(QList<std::pair<QString, QString>> fields);
    QCoro::Task<> exchangeCode(QString code);
    QCoro::Task<> ensureFreshToken();
    QCoro::Task<bool> doRefresh();
    QCoro::Task<bool> refreshOnce();
    void applyTokens(const Spotify::TokenReply &reply, bool keepRefreshTokenWhenAbsent);
    void signOut();

    void setCustomClientID(const std::optional<QString> &value);
    void setAccessToken(const std::optional<QString> &value);
    void setRefreshToken(const std::optional<QString> &value);
    void setTokenExpiry(const std::optional<QDateTime> &value);
    void setDisplayName(const std::optional<QString> &value);
    void setAvatarURL(const std::optional<QString> &value);
    void storeString(const QString &key, const std::optional<QString> &value);
    // Sets a field kept in the settings, stores it, and emits `changed` when it changed.
    void setStoredString(std::optional<QString> &field, const std::optional<QString> &value,
                         const QString &key, void (SpotifyAuthService::*changed)());
    void storeSecret(const QString &account, const std::optional<QString> &value, const char *what);

    SettingsStore &m_defaults;
    SecretStore &m_secrets;
    QNetworkAccessManager &m_network;
    Clock &m_clock;
    OpenURL m_openURL;
    const QUrl m_baseURL;
    const QUrl m_tokenURL;
    const QUrl m_authorizePage;

    std::optional<QString> m_customClientID;
    std::optional<QString> m_accessToken;
    std::optional<QString> m_displayName;
    std::optional<QString> m_avatarURL;
    std::optional<QString> m_refreshToken;
    std::optional<QDateTime> m_tokenExpiry;
    QString m_codeVerifier;

    std::chrono::milliseconds m_timeout { std::chrono::seconds(60) };
    // Bumped whenever the account is signed out: answers to older requests are not applied.
    quint64 m_generation = 0;
    // A refresh token is single-use, so concurrent callers share one refresh.
    std::optional<QFuture<bool>> m_refreshInFlight;
    // Monotonic seconds before which the Web API is not called again after a 429.
    std::optional<double> m_rateLimitedUntil;
};
