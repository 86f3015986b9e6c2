#include "spotify/SpotifyAuthService.h"

#include "core/Clock.h"
#include "core/Endpoints.h"
#include "core/HttpFetch.h"
#include "core/Log.h"
#include "core/SettingsKeys.h"
#include "core/SettingsStore.h"
#include "settings/SecretStore.h"

#include <QCryptographicHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLoggingCategory>
#include <QNetworkAccessManager>
#include <QPromise>
#include <QRandomGenerator>
#include <QStringDecoder>
#include <QTimer>
#include <QUrlQuery>

#include <qcoro/qcorofuture.h>

#include <algorithm>
#include <cmath>

using namespace Qt::StringLiterals;

namespace {
Q_LOGGING_CATEGORY(lcSpotify, "northloft.VesperApp.Spotify", QtInfoMsg)

constexpr int kVerifierBytes = 64;
// A token is refreshed this long before it expires.
constexpr qint64 kRefreshMarginSeconds = 60;
// Bounds on what the token endpoint may hand out: a token goes into a header line.
constexpr qsizetype kMaxTokenLength = 4096;
constexpr qint64 kMaxExpiresInSeconds = 366LL * 24 * 60 * 60;
constexpr qsizetype kMaxClientIDLength = 128;
// Error bodies are logged; a longer one is cut.
constexpr qsizetype kMaxLoggedBody = 1000;

// Visible ASCII only: a token with a blank or a line break could not travel in a header.
bool isUsableToken(const QString &token)
{
    if (token.isEmpty() || token.size() > kMaxTokenLength)
        return false;
    for (const QChar c : token) {
        if (c.unicode() < 0x21 || c.unicode() > 0x7e)
            return false;
    }
    return true;
}

QString bodyForLog(const QByteArray &body)
{
    QStringDecoder decoder(QStringDecoder::Utf8);
    QString text = decoder.decode(body);
    if (decoder.hasError())
        return u"<no body>"_s;
    // One line per answer, however the service formats its JSON.
    text = text.simplified();
    if (text.size() > kMaxLoggedBody)
        text = text.left(kMaxLoggedBody) + u'…';
    return text;
}

std::optional<QString> stringIn(const QJsonObject &object, const QString &key)
{
    const QJsonValue value = object.value(key);
    if (!value.isString())
        return std::nullopt;
    return value.toString();
}
} // namespace

SpotifyAuthService::SpotifyAuthService(SettingsStore &defaults, QNetworkAccessManager &network,
                                       Clock &clock, OpenURL openURL, QObject *parent)
    : QObject(parent), m_defaults(defaults), m_network(network), m_clock(clock),
      m_openURL(std::move(openURL)), m_baseURL(Endpoints::spotifyApi().resolved(QUrl(u"/v1"_s))),
      m_tokenURL(Endpoints::spotifyAccounts().resolved(QUrl(u"/api/token"_s))),
      m_authorizePage(Endpoints::spotifyAccounts().resolved(QUrl(u"/authorize"_s)))
{
    m_customClientID = m_defaults.stringValue(SettingsKeys::spotifyCustomClientID);
    m_accessToken = SecretStore::migrate(SettingsKeys::legacySpotifyAccessToken,
                                         SecretStore::Account::spotifyAccessToken, m_defaults);
    m_displayName = m_defaults.stringValue(SettingsKeys::spotifyDisplayName);
    m_avatarURL = m_defaults.stringValue(SettingsKeys::spotifyAvatarURL);
    m_refreshToken = SecretStore::migrate(SettingsKeys::legacySpotifyRefreshToken,
                                          SecretStore::Account::spotifyRefreshToken, m_defaults);
    m_tokenExpiry = m_defaults.dateValue(SettingsKeys::spotifyTokenExpiry);
}

SpotifyAuthService::~SpotifyAuthService() = default;

// Pure rules

QString SpotifyAuthService::base64Url(const QByteArray &bytes)
{
    return QString::fromLatin1(
        bytes.toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals));
}

QString SpotifyAuthService::generateVerifier()
{
    QByteArray bytes(kVerifierBytes, Qt::Uninitialized);
    QRandomGenerator::system()->fillRange(reinterpret_cast<quint32 *>(bytes.data()),
                                          kVerifierBytes / int(sizeof(quint32)));
    return base64Url(bytes);
}

QString SpotifyAuthService::generateChallenge(const QString &verifier)
{
    return base64Url(QCryptographicHash::hash(verifier.toUtf8(), QCryptographicHash::Sha256));
}

QUrl SpotifyAuthService::authorizationURL(const QUrl &authorizePage, const QString &clientID,
                                          const QString &challenge)
{
    const QList<std::pair<QString, QString>> items = {
        { u"client_id"_s, clientID },
        { u"response_type"_s, u"code"_s },
        { u"redirect_uri"_s, redirectURI },
        { u"scope"_s, scopes },
        { u"code_challenge_method"_s, u"S256"_s },
        { u"code_challenge"_s, challenge },
    };
    QStringList encoded;
    for (const auto &[name, value] : items)
        encoded.append(name + u'=' + QString::fromLatin1(QUrl::toPercentEncoding(value)));
    QUrl url = authorizePage;
    url.setQuery(encoded.join(u'&'), QUrl::StrictMode);
    return url;
}

std::optional<QString> SpotifyAuthService::callbackCode(const QUrl &url)
{
    const QUrlQuery query(url);
    const QList<std::pair<QString, QString>> items = query.queryItems(QUrl::FullyDecoded);
    for (const auto &[name, value] : items) {
        if (name == u"code"_s)
            return value.isEmpty() ? std::nullopt : std::optional<QString>(value);
    }
    return std::nullopt;
}

std::optional<QString> SpotifyAuthService::trimmedClientID(const std::optional<QString> &clientID)
{
    if (!clientID)
        return std::nullopt;
    const QString trimmed = clientID->trimmed();
    if (trimmed.isEmpty())
        return std::nullopt;
    return trimmed;
}

bool SpotifyAuthService::isValidClientID(const QString &clientID)
{
    if (clientID.isEmpty() || clientID.size() > kMaxClientIDLength)
        return false;
    for (const QChar c : clientID) {
        const char16_t u = c.unicode();
        const bool alphanumeric
            = (u >= u'0' && u <= u'9') || (u >= u'a' && u <= u'z') || (u >= u'A' && u <= u'Z');
        if (!alphanumeric)
            return false;
    }
    return true;
}

std::optional<SpotifyAuthService::TokenReply>
SpotifyAuthService::parseTokenReply(const QByteArray &body)
{
    const QJsonDocument document = QJsonDocument::fromJson(body);
    if (!document.isObject())
        return std::nullopt;
    const QJsonObject object = document.object();
    const std::optional<QString> accessToken = stringIn(object, u"access_token"_s);
    if (!accessToken || !isUsableToken(*accessToken))
        return std::nullopt;
    TokenReply reply;
    reply.accessToken = *accessToken;
    const std::optional<QString> refreshToken = stringIn(object, u"refresh_token"_s);
    if (refreshToken && isUsableToken(*refreshToken))
        reply.refreshToken = refreshToken;
    const QJsonValue expiresIn = object.value(u"expires_in"_s);
    if (expiresIn.isDouble() && std::isfinite(expiresIn.toDouble())) {
        const double seconds = std::clamp(expiresIn.toDouble(), 0.0, double(kMaxExpiresInSeconds));
        reply.expiresIn = qint64(seconds);
    }
    return reply;
}

std::optional<double> SpotifyAuthService::retryAfterSeconds(const QByteArray &value)
{
    bool ok = false;
    const qint64 seconds = value.trimmed().toLongLong(&ok);
    if (!ok || seconds < 0)
        return std::nullopt;
    return std::clamp(double(seconds), 1.0, maxRetryAfterSeconds);
}

QByteArray SpotifyAuthService::formBody(const QList<std::pair<QString, QString>> &fields)
{
    QByteArrayList parts;
    for (const auto &[name, value] : fields)
        parts.append(QUrl::toPercentEncoding(name) + '=' + QUrl::toPercentEncoding(value));
    return parts.join('&');
}

// The account

void SpotifyAuthService::startAuth()
{
    if (!m_customClientID || m_customClientID->isEmpty()) {
        qCDebug(lcSpotify) << "authorization not started: no client ID";
        return;
    }
    m_codeVerifier = generateVerifier();
    const QUrl url
        = authorizationURL(m_authorizePage, *m_customClientID, generateChallenge(m_codeVerifier));
    if (!m_openURL || !m_openURL(url))
        plainLog(u"Vesper: Spotify authorization page could not be opened in the browser"_s);
}

void SpotifyAuthService::handleCallback(const QUrl &url)
{
    // The URL carries the authorization code: it is never logged.
    const std::optional<QString> code = callbackCode(url);
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
    const std::optional<QString> trimmed = trimmedClientID(clientID);
    if (trimmed && !isValidClientID(*trimmed)) {
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
    const QJsonDocument document = QJsonDocument::fromJson(reply->body);
    if (!document.isObject())
        co_return;
    const QJsonObject profile = document.object();
    setDisplayName(stringIn(profile, u"display_name"_s));
    std::optional<QString> avatar;
    const QJsonArray images = profile.value(u"images"_s).toArray();
    for (const QJsonValue &image : images) {
        avatar = stringIn(image.toObject(), u"url"_s);
        if (avatar)
            break;
    }
    setAvatarURL(avatar);
}

// Token endpoint

QCoro::Task<SpotifyAuthService::HttpOutcome>
SpotifyAuthService::postToTokenEndpoint(QList<std::pair<QString, QString>> fields)
{
    QNetworkRequest request(m_tokenURL);
    request.setHeader(QNetworkRequest::ContentTypeHeader,
                      QByteArrayLiteral("application/x-www-form-urlencoded"));
    QCoro::Task<HttpOutcome> sending = send(request, QByteArrayLiteral("POST"), formBody(fields));
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
        { u"redirect_uri"_s, redirectURI },
        { u"client_id"_s, m_customClientID.value_or(QString()) },
        { u"code_verifier"_s, verifier },
    };
    QCoro::Task<HttpOutcome> posting = postToTokenEndpoint(fields);
    const HttpOutcome outcome = co_await posting;
    const std::optional<TokenReply> reply
        = outcome.answered ? parseTokenReply(outcome.body) : std::nullopt;
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
    const std::optional<TokenReply> reply
        = outcome.answered ? parseTokenReply(outcome.body) : std::nullopt;
    if (!reply || generation != m_generation) {
        qCDebug(lcSpotify).noquote()
            << "token refresh failed:"
            << (outcome.answered ? u"HTTP %1"_s.arg(outcome.status) : outcome.error);
        co_return false;
    }
    applyTokens(*reply, true);
    co_return true;
}

void SpotifyAuthService::applyTokens(const TokenReply &reply, bool keepRefreshTokenWhenAbsent)
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
        plainLog(line + u": "_s + bodyForLog(outcome.body));

        if (outcome.status == 429) {
            // Leave the Web API alone for as long as it asks, rather than asking again at once.
            m_rateLimitedUntil = m_clock.monotonicSeconds()
                + retryAfterSeconds(outcome.retryAfter).value_or(defaultRetryAfterSeconds);
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
    const bool changed = value != m_customClientID;
    m_customClientID = value;
    storeString(SettingsKeys::spotifyCustomClientID, value);
    if (changed)
        Q_EMIT customClientIDChanged();
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
    const bool changed = value != m_displayName;
    m_displayName = value;
    storeString(SettingsKeys::spotifyDisplayName, value);
    if (changed)
        Q_EMIT displayNameChanged();
}

void SpotifyAuthService::setAvatarURL(const std::optional<QString> &value)
{
    const bool changed = value != m_avatarURL;
    m_avatarURL = value;
    storeString(SettingsKeys::spotifyAvatarURL, value);
    if (changed)
        Q_EMIT avatarURLChanged();
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
    const bool stored = value ? SecretStore::write(account, *value) : SecretStore::remove(account);
    // The value itself never reaches the log.
    if (!stored)
        qCWarning(lcSpotify).noquote()
            << "the Spotify" << QLatin1String(what)
            << (value ? "could not be saved to the secret store; it is kept for this run only"
                      : "could not be removed from the secret store");
}
