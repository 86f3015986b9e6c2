#include "scrobbling/LastFmService.h"

#include "LastFmCredentials.h"
#include "Version.h"
#include "core/Endpoints.h"
#include "core/HttpFetch.h"
#include "core/Log.h"
#include "core/SettingsKeys.h"
#include "core/SettingsStore.h"
#include "scrobbling/ScrobbleQueue.h"
#include "settings/SecretStore.h"

#include <QMetaEnum>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPointer>

#include <qcoro/qcorotimer.h>

using namespace Qt::StringLiterals;

namespace {
const QString kSharedSecret = QStringLiteral(VESPER_LASTFM_SHARED_SECRET);
const QString kGet = u"GET"_s;

// Qt's own error texts name the URL, whose query can hold the session key: describe the error
// without it.
QString describe(QNetworkReply::NetworkError error)
{
    switch (error) {
    case QNetworkReply::ConnectionRefusedError:
        return u"connection refused"_s;
    case QNetworkReply::RemoteHostClosedError:
        return u"the server closed the connection"_s;
    case QNetworkReply::HostNotFoundError:
        return u"host not found"_s;
    case QNetworkReply::TimeoutError:
    case QNetworkReply::OperationCanceledError:
        return u"the request timed out"_s;
    case QNetworkReply::SslHandshakeFailedError:
        return u"the secure connection failed"_s;
    case QNetworkReply::TemporaryNetworkFailureError:
    case QNetworkReply::NetworkSessionFailedError:
        return u"the network is unavailable"_s;
    default:
        return QString::fromLatin1(
            QMetaEnum::fromType<QNetworkReply::NetworkError>().valueToKey(error));
    }
}

// A user name as part of a file name.
QString fileLabel(const QString &name)
{
    QString label;
    for (const QChar c : name)
        label += (c.isLetterOrNumber() && c.unicode() < 128) || c == u'-' || c == u'_' ? c : u'_';
    return label.left(64);
}
} // namespace

LastFmService::LastFmService(SettingsStore &defaults, SecretStore &secrets, ScrobbleQueue &queue,
                             QNetworkAccessManager &network, OpenURL openURL, QObject *parent)
    : QObject(parent), m_defaults(defaults), m_secrets(secrets), m_queue(queue), m_network(network),
      m_openURL(std::move(openURL))
{
    m_apiRoot = Endpoints::lastfmApi();
    m_apiRoot.setPath(u"/2.0/"_s);
    // The stored values are taken as they are; writing them straight back would change nothing.
    m_sessionKey = m_secrets.migrate(SettingsKeys::legacyLastfmSessionKey,
                                     SecretStore::Account::lastfmSessionKey, m_defaults);
    m_username = m_defaults.stringValue(SettingsKeys::lastfmUsername);
    m_avatarURL = m_defaults.stringValue(SettingsKeys::lastfmAvatarURL);
}

QString LastFmService::apiKey() { return QStringLiteral(VESPER_LASTFM_API_KEY); }

void LastFmService::startAuth()
{
    // Also refused while the token is still on its way, so that one sign-in never runs twice.
    if (m_authState != AuthState::Idle || m_authRunning)
        return;
    m_authRunning = true;
    runAuth(++m_authGeneration);
}

void LastFmService::cancelAuth()
{
    ++m_authGeneration;
    m_authRunning = false;
    setAuthState(AuthState::Idle);
}

void LastFmService::endAuth(quint64 generation)
{
    if (generation != m_authGeneration)
        return;
    m_authRunning = false;
    setAuthState(AuthState::Idle);
}

void LastFmService::disconnect()
{
    cancelAuth();
    setSessionKey(std::nullopt);
    setUsername(std::nullopt);
    setAvatarURL(std::nullopt);
    m_queue.clear();
    m_defaults.remove(SettingsKeys::lastfmScrobbleQueueOwner);
}

void LastFmService::invalidateSession()
{
    plainLog(u"Vesper: Last.fm session invalid — disconnecting"_s);
    cancelAuth();
    // The queued scrobbles are the user's listening history: they wait for the same user to sign
    // in again instead of being thrown away with the session.
    m_defaults.setValue(SettingsKeys::lastfmScrobbleQueueOwner, m_username.value_or(QString()));
    const qsizetype kept = m_queue.entries().size();
    if (kept > 0) {
        qCInfo(lcLastFm).noquote() << kept << "queued scrobbles are kept until"
                                   << m_username.value_or(u"the same user"_s) << "signs in again";
    }
    setSessionKey(std::nullopt);
    setUsername(std::nullopt);
    setAvatarURL(std::nullopt);
}

std::optional<QString> LastFmService::queueOwner() const
{
    return m_defaults.stringValue(SettingsKeys::lastfmScrobbleQueueOwner);
}

void LastFmService::storeSession(const LastFm::Session &session)
{
    const std::optional<QString> owner
        = m_defaults.stringValue(SettingsKeys::lastfmScrobbleQueueOwner);
    if (owner && !owner->isEmpty() && owner->compare(session.name, Qt::CaseInsensitive) != 0) {
        // Another user's listening must never be scrobbled to this account.
        if (!m_queue.entries().isEmpty() && !m_queue.setAside(u"unsent-"_s + fileLabel(*owner))) {
            qCWarning(lcLastFm).noquote()
                << "the scrobbles queued for" << *owner << "are dropped: they cannot be kept";
            m_queue.clear();
        }
    }
    m_defaults.remove(SettingsKeys::lastfmScrobbleQueueOwner);
    setSessionKey(session.key);
    setUsername(session.name);
}

QCoro::Task<> LastFmService::runAuth(quint64 generation)
{
    QPointer<LastFmService> self(this);
    // Named rather than temporary: GCC 12 mishandles temporaries that live across a co_await.
    const Params tokenParams { { u"method"_s, u"auth.getToken"_s } };
    const LastFm::Reply tokenReply = co_await send(tokenParams, kGet);
    if (!self || generation != m_authGeneration)
        co_return;
    const std::optional<QString> token
        = tokenReply.object ? LastFm::tokenFrom(*tokenReply.object) : std::nullopt;
    if (!token) {
        qCInfo(lcLastFm).noquote() << u"sign-in failed: no token in response"_s;
        endAuth(generation);
        co_return;
    }

    QUrl page = Endpoints::lastfmAuth();
    page.setPath(u"/api/auth/"_s);
    page.setQuery(QString::fromLatin1("api_key=" + LastFm::percentEncode(apiKey())
                                      + "&token=" + LastFm::percentEncode(*token)),
                  QUrl::StrictMode);
    if (page.isValid())
        m_openURL(page);
    setAuthState(AuthState::WaitingForApproval);

    for (int attempt = 0; attempt < kMaxApprovalPolls; ++attempt) {
        co_await QCoro::sleepFor(m_pollInterval);
        if (!self || generation != m_authGeneration)
            co_return;
        const Params sessionParams { { u"method"_s, u"auth.getSession"_s },
                                     { u"token"_s, *token } };
        const LastFm::Reply reply = co_await send(sessionParams, kGet);
        if (!self || generation != m_authGeneration)
            co_return;
        if (reply.apiError && reply.apiError->code == LastFm::kErrorTokenNotAuthorized)
            continue;
        if (!reply.object) {
            const QString reason = reply.apiError ? QString::number(reply.apiError->code) + u' '
                    + LastFm::loggable(reply.apiError->message)
                                                  : reply.transportError;
            qCInfo(lcLastFm).noquote() << u"sign-in failed:"_s << reason;
            endAuth(generation);
            co_return;
        }
        const std::optional<LastFm::Session> session = LastFm::sessionFrom(*reply.object);
        if (!session)
            continue;
        storeSession(*session);
        co_await fetchProfile();
        if (self)
            endAuth(generation);
        co_return;
    }
    qCInfo(lcLastFm).noquote() << u"sign-in ended: the page was not approved in time"_s;
    endAuth(generation);
}

QCoro::Task<> LastFmService::fetchProfile()
{
    if (!m_sessionKey)
        co_return;
    const QString askedFor = *m_sessionKey;
    QPointer<LastFmService> self(this);
    const QString method = u"user.getInfo"_s;
    const std::optional<QJsonObject> reply = co_await request(method, {}, kGet);
    // An answer about an account that has been replaced or forgotten meanwhile is dropped.
    if (!self || !reply || m_sessionKey != askedFor)
        co_return;
    const LastFm::AvatarUpdate avatar = LastFm::avatarFrom(*reply);
    if (avatar.usable)
        setAvatarURL(avatar.url);
}

QCoro::Task<std::optional<QJsonObject>> LastFmService::request(QString method, Params params,
                                                               QString httpMethod)
{
    params.insert(u"method"_s, method);
    const std::optional<QString> sentKey = m_sessionKey;
    if (sentKey)
        params.insert(u"sk"_s, *sentKey);
    QPointer<LastFmService> self(this);
    const LastFm::Reply reply = co_await send(std::move(params), std::move(httpMethod));
    if (!self)
        co_return std::nullopt;
    if (reply.object)
        co_return reply.object;
    if (reply.apiError) {
        // Only the key the call was made with is known to be invalid; a newer one stays.
        if (reply.apiError->code == LastFm::kErrorInvalidSessionKey && sentKey
            && m_sessionKey == sentKey) {
            invalidateSession();
            co_return std::nullopt;
        }
        plainLog(u"Vesper: Last.fm %1 failed: %2 %3"_s.arg(
            method, QString::number(reply.apiError->code),
            LastFm::loggable(reply.apiError->message, sentKey.value_or(QString()))));
    } else {
        plainLog(u"Vesper: Last.fm %1 transport error: %2"_s.arg(
            method, LastFm::loggable(reply.transportError, sentKey.value_or(QString()))));
    }
    co_return std::nullopt;
}

QCoro::Task<LastFm::Reply> LastFmService::send(Params params, QString httpMethod)
{
    params.remove(u"api_sig"_s);
    params.remove(u"format"_s);
    params.insert(u"api_key"_s, apiKey());
    params.insert(u"api_sig"_s, LastFm::signature(params, kSharedSecret));
    params.insert(u"format"_s, u"json"_s);
    const QByteArray form = LastFm::formEncode(params);

    QNetworkRequest request;
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::ManualRedirectPolicy);
    request.setHeader(QNetworkRequest::UserAgentHeader,
                      QByteArrayLiteral("Vesper/" VESPER_VERSION));
    QByteArray verb;
    QByteArray payload;
    if (httpMethod == kGet) {
        request.setUrl(QUrl::fromEncoded(m_apiRoot.toEncoded() + '?' + form));
        verb = QByteArrayLiteral("GET");
    } else {
        request.setUrl(m_apiRoot);
        request.setHeader(QNetworkRequest::ContentTypeHeader,
                          QByteArrayLiteral("application/x-www-form-urlencoded"));
        verb = QByteArrayLiteral("POST");
        payload = form;
    }

    QCoro::Task<Http::Outcome> sending
        = Http::send(m_network, std::move(request), verb, payload, kMaxReplyBytes, m_timeout);
    const Http::Outcome outcome = co_await sending;
    LastFm::Reply result;
    switch (outcome.result) {
    case Http::Outcome::Result::Abandoned:
        result.transportError = u"the request was abandoned"_s;
        break;
    case Http::Outcome::Result::TooLarge:
        result.transportError = u"the answer is larger than %1 bytes"_s.arg(kMaxReplyBytes);
        break;
    case Http::Outcome::Result::Failed:
        result.transportError = describe(outcome.error);
        break;
    case Http::Outcome::Result::Answered:
        result = LastFm::parseReply(outcome.body, outcome.status);
        break;
    }
    co_return result;
}

// Every assignment is mirrored to its store, so that forgetting an account also removes what a
// store still held while it read as absent here.
void LastFmService::setSessionKey(const std::optional<QString> &key)
{
    const bool changed = key != m_sessionKey;
    m_sessionKey = key;
    if (key) {
        if (!m_secrets.write(SecretStore::Account::lastfmSessionKey, *key)) {
            qCWarning(lcLastFm) << "the Last.fm session cannot be kept in the secret store; it "
                                   "lasts for this run only";
        }
    } else {
        m_secrets.remove(SecretStore::Account::lastfmSessionKey);
    }
    if (changed)
        Q_EMIT sessionKeyChanged();
}

void LastFmService::setUsername(const std::optional<QString> &name)
{
    const bool changed = name != m_username;
    m_username = name;
    if (name)
        m_defaults.setValue(SettingsKeys::lastfmUsername, *name);
    else
        m_defaults.remove(SettingsKeys::lastfmUsername);
    if (changed)
        Q_EMIT usernameChanged();
}

void LastFmService::setAvatarURL(const std::optional<QString> &url)
{
    const bool changed = url != m_avatarURL;
    m_avatarURL = url;
    if (url)
        m_defaults.setValue(SettingsKeys::lastfmAvatarURL, *url);
    else
        m_defaults.remove(SettingsKeys::lastfmAvatarURL);
    if (changed)
        Q_EMIT avatarURLChanged();
}

void LastFmService::setAuthState(AuthState state)
{
    if (state == m_authState)
        return;
    m_authState = state;
    Q_EMIT authStateChanged();
}
