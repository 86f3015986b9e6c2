#include "spotify/SpotifyAuthService.h"

#include "core/Clock.h"
#include "core/Endpoints.h"
#include "core/HttpFetch.h"
#include "core/Log.h"
#include "core/SettingsKeys.h"
#include "core/SettingsStore.h"
#include "settings/SecretStore.h"
#include "spotify/SpotifyProtocol.h"

#include <QJsonDocument>
#include <QLoggingCategory>
#include <QNetworkAccessManager>
#include <QPromise>
#include <QTimer>

#include <qcoro/qcorofuture.h>

#include <algorithm>
#include <cmath>

using namespace Qt::StringLiterals;

namespace {
Q_LOGGING_CATEGORY(lcSpotify, "northloft.VesperApp.Spotify", QtInfoMsg)

// A token is refreshed this long before it expires.
constexpr qint64 kRefreshMarginSeconds = 60;
} // namespace

SpotifyAuthService::SpotifyAuthService(SettingsStore &defaults, SecretStore &secrets,
                                       QNetworkAccessManager &network, Clock &clock,
                                       OpenURL openURL, QObject *parent)
    : QObject(parent), m_defaults(defaults), m_secrets(secrets), m_network(network), m_clock(clock),
      m_openURL(std::move(openURL)), m_baseURL(Endpoints::spotifyApi().resolved(QUrl(u"/v1"_s))),
      m_tokenURL(Endpoints::spotifyAccounts().resolved(QUrl(u"/api/token"_s))),
      m_authorizePage(Endpoints::spotifyAccounts().resolved(QUrl(u"/authorize"_s)))
{
    m_customClientID = m_defaults.stringValue(SettingsKeys::spotifyCustomClientID);
    m_accessToken = m_secrets.migrate(SettingsKeys::legacySpotifyAccessToken,
                                      SecretStore::Account::spotifyAccessToken, m_defaults);
    m_displayName = m_defaults.stringValue(SettingsKeys::spotifyDisplayName);
    m_avatarURL = m_defaults.stringValue(SettingsKeys::spotifyAvatarURL);
    m_refreshToken = m_secrets.migrate(SettingsKeys::legacySpotifyRefreshToken,
                                       SecretStore::Account::spotifyRefreshToken, m_defaults);
    m_tokenExpiry = m_defaults.dateValue(SettingsKeys::spotifyTokenExpiry);
}

SpotifyAuthService::~SpotifyAuthService() = default;

// The account

void SpotifyAuthService::startAuth()
{
    if (!m_customClientID || m_customClientID->isEmpty()) {
        qCDebug(lcSpotify) << "authorization not started: no client ID";
        return;
    }
    m_codeVerifier = Spotify::generateVerifier();
    const QUrl url = Spotify::authorizationURL(m_authorizePage, *m_customClientID,
                                               Spotify::generateChallenge(m_codeVerifier));
    if (!m_openURL || !m_openURL(url))
        plainLog(u"Vesper: Spotify authorization page could not be opened in the browser"_s);
}

void SpotifyAuthService::handleCallback(const QUrl &url)
{
    // The URL carries the authorization code: it is never logged.
    const std::optional<QString> code = Spotify::callbackCode(url);
    if (!code) {
        qCDebug(lcSpotify) << "callback URL without an authorization code ignored";
        return;
    }
    // Without the verifier of an authorization started in this run the code cannot be
    // redeemed; the token endpoint is not asked.
    if (m_codeVerifier.isEmpty()) {
        qCInfo(lcSpotify) << "authorization callback received with no authorization in progress;"
                             " ignored";
        return;
    }
    qCInfo(lcSpotify) << "authorization callback received; exchanging the code";
    // Run from the event loop rather than inside the caller, as a callback is delivered.
    QTimer::singleShot(0, this, [this, pending = *code] { exchangeCode(pending); });
}

bool SpotifyAuthService::setClientID(const std::optional<QString> &clientID)
{
    const std::optional<QString> trimmed = Spotify::trimmedClientID(clientID);
    if (trimmed && !Spotify::isValidClientID(*trimmed)) {
        plainLog(u"Vesper: Spotify client ID refused — it may hold only letters and digits"_s);
        return false;
    }
    if (trimmed == m_customClientID)
        return true;
    signOut();
    // An authorization begun under the old ID must not complete under the new one.
    m_codeVerifier.clear();
    setCustomClientID(trimmed);
    return true;
}

void SpotifyAuthService::disconnect() { signOut(); }

void SpotifyAuthService::signOut()
{
    ++m_generation;
    setAccessToken(std::nullopt);
    setRefreshToken(std::nullopt);
    setTokenExpiry(std::nullopt);
    setDisplayName(std::nullopt);
    setAvatarURL(std::nullopt);
}

QCoro::Task<> SpotifyAuthService::fetchProfile()
{
    if (!m_accessToken)
        co_return;
    const quint64 generation = m_generation;
    QCoro::Task<std::optional<ApiReply>> call = apiCall(u"/me"_s, u"GET"_s);
    const std::optional<ApiReply> reply = co_await call;
    // An error answer says nothing about the profile: what is known stays.
    if (!reply || !reply->isSuccess() || generation != m_generation)
        co_return;
    const std::optional<Spotify::Profile> profile = Spotify::parseProfile(reply->body);
    if (!profile)
        co_return;
    setDisplayName(profile->displayName);
    setAvatarURL(profile->avatarURL);
}

// Token endpoint

QCoro::Task<SpotifyAuthService::HttpOutcome>
SpotifyAuthService::postToTokenEndpoint(QList<std::pair<QString, QString>> fields)
{
    QNetworkRequest request(m_tokenURL);
    request.setHeader(QNetworkRequest::ContentTypeHeader,
                      QByteArrayLiteral("application/x-www-form-urlencoded"));
    QCoro::Task<HttpOutcome> sending
        = send(request, QByteArrayLiteral("POST"), Spotify::formBody(fields));
    const HttpOutcome outcome = co_await sending;
    co_return outcome;
}

QCoro::Task<> SpotifyAuthService::exchangeCode(QString code)
{
    const quint64 generation = m_generation;
    const QString verifier = m_codeVerifier;
    const QList<std::pair<QString, QString>> fields = {
        { u"grant_type"_s, u"authorization_code"_s },
        { u"code"_s, code },
        { u"redirect_uri"_s, Spotify::redirectURI },
        { u"client_id"_s, m_customClientID.value_or(QString()) },
        { u"code_verifier"_s, verifier },
    };
    QCoro::Task<HttpOutcome> posting = postToTokenEndpoint(fields);
    const HttpOutcome outcome = co_await posting;
    const std::optional<Spotify::TokenReply> reply
        = outcome.answered ? Spotify::parseTokenReply(outcome.body) : std::nullopt;
    if (!reply || generation != m_generation) {
        qCDebug(lcSpotify).noquote()
            << "code exchange failed:"
            << (outcome.answered ? u"HTTP %1"_s.arg(outcome.status) : outcome.error);
        Q_EMIT codeExchangeFinished(false);
        co_return;
    }
    // A code is redeemed once; the verifier has done its work.
    if (m_codeVerifier == verifier)
        m_codeVerifier.clear();
    applyTokens(*reply, false);
    QCoro::Task<> profile = fetchProfile();
    co_await profile;
    Q_EMIT codeExchangeFinished(generation == m_generation && isConnected());
}

QCoro::Task<> SpotifyAuthService::ensureFreshToken()
{
    if (m_tokenExpiry && m_clock.now() > m_tokenExpiry->addSecs(-kRefreshMarginSeconds)) {
        QCoro::Task<bool> refreshing = doRefresh();
        co_await refreshing;
    }
}

QCoro::Task<bool> SpotifyAuthService::doRefresh()
{
    if (m_refreshInFlight) {
        QFuture<bool> pending = *m_refreshInFlight;
        const bool refreshed = co_await pending;
        co_return refreshed;
    }
    if (!m_refreshToken)
        co_return false;
    QPromise<bool> promise;
    promise.start();
    m_refreshInFlight = promise.future();
    QCoro::Task<bool> refreshing = refreshOnce();
    const bool refreshed = co_await refreshing;
    m_refreshInFlight.reset();
    promise.addResult(refreshed);
    promise.finish();
    co_return refreshed;
}

QCoro::Task<bool> SpotifyAuthService::refreshOnce()
{
    const quint64 generation = m_generation;
    const QList<std::pair<QString, QString>> fields = {
        { u"grant_type"_s, u"refresh_token"_s },
        { u"refresh_token"_s, m_refreshToken.value_or(QString()) },
        { u"client_id"_s, m_customClientID.value_or(QString()) },
    };
    QCoro::Task<HttpOutcome> posting = postToTokenEndpoint(fields);
    const HttpOutcome outcome = co_await posting;
    const std::optional<Spotify::TokenReply> reply
        = outcome.answered ? Spotify::parseTokenReply(outcome.body) : std::nullopt;
    if (!reply || generation != m_generation) {
        qCDebug(lcSpotify).noquote()
            << "token refresh failed:"
            << (outcome.answered ? u"HTTP %1"_s.arg(outcome.status) : outcome.error);
        co_return false;
    }
    applyTokens(*reply, true);
    co_return true;
}

void SpotifyAuthService::applyTokens(const Spotify::TokenReply &reply,
                                     bool keepRefreshTokenWhenAbsent)
{
    setAccessToken(reply.accessToken);
    // Refresh tokens are single-use: a new one replaces the old at once.
    if (reply.refreshToken || !keepRefreshTokenWhenAbsent)
        setRefreshToken(reply.refreshToken);
    if (reply.expiresIn)
        setTokenExpiry(m_clock.now().addSecs(*reply.expiresIn));
}

// Web API

QCoro::Task<std::optional<QByteArray>> SpotifyAuthService::request(QString path, QString method,
                                                                   std::optional<QJsonObject> body)
{
    QCoro::Task<std::optional<ApiReply>> call = apiCall(path, method, body);
    const std::optional<ApiReply> reply = co_await call;
    if (!reply)
        co_return std::nullopt;
    co_return reply->body;
}

QCoro::Task<std::optional<SpotifyAuthService::ApiReply>>
SpotifyAuthService::apiCall(QString path, QString method, std::optional<QJsonObject> body)
{
    const QString call = method + u' ' + path;
    for (int attempt = 0;; ++attempt) {
        QCoro::Task<> freshening = ensureFreshToken();
        co_await freshening;
        if (!m_accessToken) {
            plainLog(u"Vesper: Spotify request "_s + call + u" skipped — no access token"_s);
            co_return std::nullopt;
        }
        if (m_rateLimitedUntil) {
            const double wait = *m_rateLimitedUntil - m_clock.monotonicSeconds();
            if (wait > 0) {
                plainLog(u"Vesper: Spotify request "_s + call
                         + u" skipped — rate limited for another "_s
                         + QString::number(std::ceil(wait)) + u" s"_s);
                co_return std::nullopt;
            }
            m_rateLimitedUntil.reset();
        }
        const QUrl url(m_baseURL.toString() + path, QUrl::StrictMode);
        if (!path.startsWith(u'/') || !url.isValid()) {
            plainLog(u"Vesper: Spotify request "_s + call + u" skipped — not a valid address"_s);
            co_return std::nullopt;
        }

        const QString token = *m_accessToken;
        QNetworkRequest request(url);
        request.setRawHeader(QByteArrayLiteral("Authorization"),
                             QByteArrayLiteral("Bearer ") + token.toLatin1());
        QByteArray payload;
        if (body) {
            request.setHeader(QNetworkRequest::ContentTypeHeader,
                              QByteArrayLiteral("application/json"));
            payload = QJsonDocument(*body).toJson(QJsonDocument::Compact);
        }
        QCoro::Task<HttpOutcome> sending = send(request, method.toLatin1(), payload);
        const HttpOutcome outcome = co_await sending;
        if (!outcome.answered) {
            plainLog(u"Vesper: Spotify request "_s + call + u" failed: "_s + outcome.error);
            co_return std::nullopt;
        }

        const QString line
            = u"Vesper: Spotify "_s + call + u" → HTTP "_s + QString::number(outcome.status);
        const ApiReply reply { outcome.status, outcome.body };
        if (reply.isSuccess()) {
            plainLog(line);
            co_return reply;
        }
        plainLog(line + u": "_s + Spotify::bodyForLog(outcome.body));

        if (outcome.status == 429) {
            // Leave the Web API alone for as long as it asks, rather than asking again at once.
            m_rateLimitedUntil = m_clock.monotonicSeconds()
                + Spotify::retryAfterSeconds(outcome.retryAfter).value_or(defaultRetryAfterSeconds);
        }
        if (outcome.status == 401 && attempt < maxAuthRetries) {
            // Another call may have refreshed the token while this one was on its way.
            if (m_accessToken && *m_accessToken != token)
                continue;
            QCoro::Task<bool> refreshing = doRefresh();
            if (co_await refreshing)
                continue;
        }
        co_return reply;
    }
}

// Transport

QCoro::Task<SpotifyAuthService::HttpOutcome>
SpotifyAuthService::send(QNetworkRequest request, QByteArray verb, QByteArray body)
{
    // A redirect would carry the bearer token or the code elsewhere: none is followed.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::ManualRedirectPolicy);
    QCoro::Task<Http::Outcome> sending = Http::send(m_network, std::move(request), std::move(verb),
                                                    std::move(body), maxReplyBytes, m_timeout);
    const Http::Outcome reply = co_await sending;
    HttpOutcome outcome;
    switch (reply.result) {
    case Http::Outcome::Result::Abandoned:
        outcome.error = u"the reply was lost"_s;
        break;
    case Http::Outcome::Result::TooLarge:
        outcome.error = u"the answer is larger than %1 bytes"_s.arg(maxReplyBytes);
        break;
    case Http::Outcome::Result::Failed:
        // The URL names no secret here: the token travels in a header, the code in the body.
        outcome.error = reply.errorString;
        break;
    case Http::Outcome::Result::Answered:
        outcome.answered = true;
        outcome.status = reply.status;
        outcome.body = reply.body;
        outcome.retryAfter = reply.retryAfter;
        break;
    }
    co_return outcome;
}

// Stores

void SpotifyAuthService::setCustomClientID(const std::optional<QString> &value)
{
    setStoredString(m_customClientID, value, SettingsKeys::spotifyCustomClientID,
                    &SpotifyAuthService::customClientIDChanged);
}

void SpotifyAuthService::setAccessToken(const std::optional<QString> &value)
{
    const bool changed = value != m_accessToken;
    m_accessToken = value;
    storeSecret(SecretStore::Account::spotifyAccessToken, value, "access token");
    if (changed)
        Q_EMIT accessTokenChanged();
}

void SpotifyAuthService::setRefreshToken(const std::optional<QString> &value)
{
    m_refreshToken = value;
    storeSecret(SecretStore::Account::spotifyRefreshToken, value, "refresh token");
}

void SpotifyAuthService::setTokenExpiry(const std::optional<QDateTime> &value)
{
    m_tokenExpiry = value;
    if (value)
        m_defaults.setValue(SettingsKeys::spotifyTokenExpiry, *value);
    else
        m_defaults.remove(SettingsKeys::spotifyTokenExpiry);
}

void SpotifyAuthService::setDisplayName(const std::optional<QString> &value)
{
    setStoredString(m_displayName, value, SettingsKeys::spotifyDisplayName,
                    &SpotifyAuthService::displayNameChanged);
}

void SpotifyAuthService::setAvatarURL(const std::optional<QString> &value)
{
    setStoredString(m_avatarURL, value, SettingsKeys::spotifyAvatarURL,
                    &SpotifyAuthService::avatarURLChanged);
}

void SpotifyAuthService::setStoredString(std::optional<QString> &field,
                                         const std::optional<QString> &value, const QString &key,
                                         void (SpotifyAuthService::*changed)())
{
    const bool differs = value != field;
    field = value;
    storeString(key, value);
    if (differs)
        Q_EMIT(this->*changed)();
}

void SpotifyAuthService::storeString(const QString &key, const std::optional<QString> &value)
{
    if (value)
        m_defaults.setValue(key, *value);
    else
        m_defaults.remove(key);
}

void SpotifyAuthService::storeSecret(const QString &account, const std::optional<QString> &value,
                                     const char *what)
{
    const bool stored = value ? m_secrets.write(account, *value) : m_secrets.remove(account);
    // The value itself never reaches the log.
    if (!stored)
        qCWarning(lcSpotify).noquote()
            << "the Spotify" << QLatin1String(what)
            << (value ? "could not be saved to the secret store; it is kept for this run only"
                      : "could not be removed from the secret store");
}
