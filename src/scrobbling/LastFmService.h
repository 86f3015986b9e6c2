#pragma once

#include "scrobbling/LastFmProtocol.h"

#include <QJsonObject>
#include <QObject>
#include <QUrl>

#include <qcoro/qcorotask.h>

#include <chrono>
#include <functional>
#include <optional>

class QNetworkAccessManager;
class ScrobbleQueue;
class SecretStore;
class SettingsStore;

// Vesper's one client of the Last.fm web service: the user's session, the browser sign-in, and
// every signed call. Failures are logged here and answered with no result; the session key is
// kept in the secret store and never logged. The offline queue is borrowed: the account decides
// whose scrobbles it holds (cleared on disconnect, kept for a revoked user, set aside for another).
class LastFmService : public QObject
{
    Q_OBJECT
    Q_PROPERTY(std::optional<QString> sessionKey READ sessionKey NOTIFY sessionKeyChanged)
    Q_PROPERTY(std::optional<QString> username READ username NOTIFY usernameChanged)
    Q_PROPERTY(std::optional<QString> avatarURL READ avatarURL NOTIFY avatarURLChanged)
    Q_PROPERTY(AuthState authState READ authState NOTIFY authStateChanged)

public:
    enum class AuthState { Idle, WaitingForApproval };
    Q_ENUM(AuthState)

    using Params = LastFm::Params;
    // Opens a page in the user's browser; tests record the page instead.
    using OpenURL = std::function<void(const QUrl &)>;

    static constexpr int kMaxApprovalPolls = 30;
    static constexpr std::chrono::milliseconds kApprovalPollInterval { 4000 };
    static constexpr std::chrono::milliseconds kRequestTimeout { 60000 };
    static constexpr qint64 kMaxReplyBytes = 2 * 1024 * 1024;

    LastFmService(SettingsStore &defaults, SecretStore &secrets, ScrobbleQueue &queue,
                  QNetworkAccessManager &network, OpenURL openURL, QObject *parent = nullptr);

    static QString apiKey();
    // The web service endpoint, /2.0/ on VESPER_LASTFM_API_URL's origin.
    QUrl apiRoot() const { return m_apiRoot; }

    std::optional<QString> sessionKey() const { return m_sessionKey; }
    bool isConnected() const { return m_sessionKey.has_value(); }
    std::optional<QString> username() const { return m_username; }
    std::optional<QString> avatarURL() const { return m_avatarURL; }
    AuthState authState() const { return m_authState; }

    // Starts the browser sign-in: a token, the approval page, then a poll for the session.
    // Does nothing while a sign-in is already running.
    void startAuth();
    void cancelAuth();
    // Forgets the account and, with it, the scrobbles still waiting for it.
    void disconnect();
    QCoro::Task<> fetchProfile();

    // One signed call with the session key; the answer, or none after a failure (logged). An
    // invalid session key disconnects the account but keeps its queued scrobbles.
    QCoro::Task<std::optional<QJsonObject>> request(QString method, Params params,
                                                    QString httpMethod);

    // The user whose queued scrobbles were kept when their session was revoked; the queue goes
    // to them alone when they sign in again. Empty when the name was not known.
    std::optional<QString> queueOwner() const;

    void setApprovalPollInterval(std::chrono::milliseconds interval) { m_pollInterval = interval; }
    void setRequestTimeout(std::chrono::milliseconds timeout) { m_timeout = timeout; }

Q_SIGNALS:
    void sessionKeyChanged();
    void usernameChanged();
    void avatarURLChanged();
    void authStateChanged();

private:
    QCoro::Task<LastFm::Reply> send(Params params, QString httpMethod);
    QCoro::Task<> runAuth(quint64 generation);
    void endAuth(quint64 generation);
    void storeSession(const LastFm::Session &session);
    void invalidateSession();

    void setSessionKey(const std::optional<QString> &key);
    void setUsername(const std::optional<QString> &name);
    void setAvatarURL(const std::optional<QString> &url);
    void setAuthState(AuthState state);

    SettingsStore &m_defaults;
    SecretStore &m_secrets;
    ScrobbleQueue &m_queue;
    QNetworkAccessManager &m_network;
    OpenURL m_openURL;
    QUrl m_apiRoot;
    std::chrono::milliseconds m_pollInterval = kApprovalPollInterval;
    std::chrono::milliseconds m_timeout = kRequestTimeout;

    std::optional<QString> m_sessionKey;
    std::optional<QString> m_username;
    std::optional<QString> m_avatarURL;
    AuthState m_authState = AuthState::Idle;
    // Each sign-in runs under a number; cancelling moves the number on, so a sign-in that wakes
    // up after being cancelled sees it is no longer current and stores nothing.
    quint64 m_authGeneration = 0;
    bool m_authRunning = false;
};
