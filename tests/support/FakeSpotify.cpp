#include "FakeSpotify.h"

#include <QCryptographicHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QUrlQuery>

using namespace Qt::StringLiterals;

namespace {
constexpr int kMaxURIs = 40;

QByteArray json(const QJsonValue &value)
{
    return value.isArray() ? QJsonDocument(value.toArray()).toJson(QJsonDocument::Compact)
                           : QJsonDocument(value.toObject()).toJson(QJsonDocument::Compact);
}

FakeHttpServer::Response jsonResponse(int status, const QJsonValue &value)
{
    FakeHttpServer::Response response = FakeHttpServer::Response::withStatus(status, json(value));
    response.headers.emplaceBack("Content-Type", "application/json; charset=utf-8");
    return response;
}

QString s256(const QString &verifier)
{
    return QString::fromLatin1(
        QCryptographicHash::hash(verifier.toUtf8(), QCryptographicHash::Sha256)
            .toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals));
}

// A form body as the accounts service reads it; none when a field is named twice, which only
// a body that smuggles extra fields does.
std::optional<QHash<QString, QString>> formFields(const QByteArray &body)
{
    QByteArray text = body;
    text.replace('+', "%20");
    const QUrlQuery query(QString::fromLatin1(text));
    QHash<QString, QString> fields;
    const auto items = query.queryItems(QUrl::FullyDecoded);
    for (const auto &[name, value] : items) {
        if (fields.contains(name))
            return std::nullopt;
        fields.insert(name, value);
    }
    return fields;
}
} // namespace

FakeSpotify::FakeSpotify(QObject *parent) : QObject(parent)
{
    m_accounts.route("POST", u"/api/token"_s,
                     [this](const FakeHttpServer::Request &request) { return token(request); });

    m_api.route("GET", u"/v1/me"_s, [this](const FakeHttpServer::Request &request) {
        if (auto queued = nextQueued())
            return *queued;
        if (auto refusal = checkBearer(request))
            return *refusal;
        QJsonArray images;
        images.append(QJsonObject { { u"url"_s, avatarURL }, { u"height"_s, 300 } });
        return jsonResponse(200,
                            QJsonObject { { u"display_name"_s, displayName },
                                          { u"id"_s, u"ada"_s },
                                          { u"images"_s, images } });
    });

    const auto change = [this](const FakeHttpServer::Request &request) {
        if (auto queued = nextQueued())
            return *queued;
        if (auto refusal = checkBearer(request))
            return *refusal;
        const std::optional<QStringList> uris = trackURIs(request);
        if (!uris)
            return apiError(400, u"Invalid uris"_s);
        for (const QString &uri : *uris) {
            if (request.method == "PUT")
                liked.insert(uri);
            else
                liked.remove(uri);
        }
        return Response::withStatus(200);
    };
    m_api.route("PUT", u"/v1/me/library"_s, change);
    m_api.route("DELETE", u"/v1/me/library"_s, change);

    m_api.route("GET", u"/v1/me/library/contains"_s,
                [this](const FakeHttpServer::Request &request) {
                    if (auto queued = nextQueued())
                        return *queued;
                    if (auto refusal = checkBearer(request))
                        return *refusal;
                    const std::optional<QStringList> uris = trackURIs(request);
                    if (!uris)
                        return apiError(400, u"Invalid uris"_s);
                    QJsonArray answers;
                    for (const QString &uri : *uris)
                        answers.append(liked.contains(uri));
                    return jsonResponse(200, answers);
                });

    // The calls that development-mode applications may no longer make.
    const auto retired = [this](const FakeHttpServer::Request &) {
        refusals.append(u"retired /me/tracks endpoint"_s);
        return apiError(403, u"Forbidden"_s);
    };
    for (const QByteArray &method :
         { QByteArray("GET"), QByteArray("PUT"), QByteArray("DELETE") }) {
        m_api.route(method, u"/v1/me/tracks"_s, retired);
        m_api.route(method, u"/v1/me/tracks/contains"_s, retired);
    }
}

std::optional<QUrl> FakeSpotify::approve(const QUrl &authorizeURL)
{
    lastProblem.clear();
    const QUrlQuery query(authorizeURL);
    const auto value
        = [&query](const QString &name) { return query.queryItemValue(name, QUrl::FullyDecoded); };
    const QStringList scopes = value(u"scope"_s).split(u' ', Qt::SkipEmptyParts);
    static const QRegularExpression challengeShape(u"^[A-Za-z0-9_-]{43}$"_s);

    if (authorizeURL.host() != m_accounts.url().host()
        || authorizeURL.port() != m_accounts.url().port() || authorizeURL.path() != u"/authorize"_s)
        lastProblem = u"not the authorization page"_s;
    else if (value(u"client_id"_s) != clientID)
        lastProblem = u"INVALID_CLIENT: Invalid client"_s;
    else if (value(u"redirect_uri"_s) != redirectURI)
        lastProblem = u"INVALID_CLIENT: Invalid redirect URI"_s;
    else if (value(u"response_type"_s) != u"code"_s)
        lastProblem = u"unsupported response_type"_s;
    else if (value(u"code_challenge_method"_s) != u"S256"_s)
        lastProblem = u"code_challenge_method must be S256"_s;
    else if (!challengeShape.match(value(u"code_challenge"_s)).hasMatch())
        lastProblem = u"code_challenge is malformed"_s;
    else if (!scopes.contains(u"user-library-read"_s) || !scopes.contains(u"user-library-modify"_s))
        lastProblem = u"the library scopes are missing"_s;
    if (!lastProblem.isEmpty())
        return std::nullopt;

    const QString code = mint(u"code"_s);
    m_codes.insert(code, Grant { value(u"code_challenge"_s), clientID, redirectURI });
    QUrl redirect(redirectURI);
    redirect.setQuery(u"code="_s + code);
    return redirect;
}

QUrl FakeSpotify::decline() const
{
    QUrl redirect(redirectURI);
    redirect.setQuery(u"error=access_denied"_s);
    return redirect;
}

std::pair<QString, QString> FakeSpotify::issueTokens()
{
    const QString access = mint(u"access"_s);
    const QString refresh = mint(u"refresh"_s);
    m_liveAccessTokens.insert(access);
    m_refreshTokens.insert(refresh, clientID);
    return { access, refresh };
}

QString FakeSpotify::mint(const QString &prefix)
{
    // Distinct and unguessable, as the real ones are, and easy to find in a log.
    const QString secret = prefix + u'-' + QString::number(++m_serial) + u'-'
        + QString::number(QRandomGenerator::global()->generate64(), 36);
    m_secrets.append(secret);
    return secret;
}

FakeSpotify::Response FakeSpotify::issue(const QString &issuedTo, bool withRefreshToken)
{
    const QString access = mint(u"access"_s);
    m_liveAccessTokens.insert(access);
    QJsonObject reply { { u"access_token"_s, access },
                        { u"token_type"_s, u"Bearer"_s },
                        { u"expires_in"_s, expiresIn },
                        { u"scope"_s, u"user-library-modify user-library-read"_s } };
    if (withRefreshToken) {
        const QString refresh = mint(u"refresh"_s);
        m_refreshTokens.insert(refresh, issuedTo);
        reply.insert(u"refresh_token"_s, refresh);
    }
    return jsonResponse(200, reply);
}

FakeSpotify::Response FakeSpotify::tokenError(const QString &error, const QString &description)
{
    refusals.append(error + u": "_s + description);
    return jsonResponse(
        400, QJsonObject { { u"error"_s, error }, { u"error_description"_s, description } });
}

FakeSpotify::Response FakeSpotify::apiError(int status, const QString &message)
{
    refusals.append(QString::number(status) + u": "_s + message);
    Response response = jsonResponse(
        status,
        QJsonObject {
            { u"error"_s, QJsonObject { { u"status"_s, status }, { u"message"_s, message } } } });
    if (status == 401)
        response.headers.emplaceBack("WWW-Authenticate",
                                     "Bearer realm=\"spotify\", error=\"invalid_token\"");
    return response;
}

FakeSpotify::Response FakeSpotify::token(const FakeHttpServer::Request &request)
{
    if (tokenReply)
        return *tokenReply;
    if (!request.header("content-type").startsWith("application/x-www-form-urlencoded"))
        return tokenError(u"invalid_request"_s, u"unsupported content type"_s);
    const std::optional<QHash<QString, QString>> fields = formFields(request.body);
    if (!fields)
        return tokenError(u"invalid_request"_s, u"a field appears twice"_s);
    const QString grantType = fields->value(u"grant_type"_s);
    const QString client = fields->value(u"client_id"_s);

    if (grantType == u"authorization_code"_s) {
        const QString code = fields->value(u"code"_s);
        // A code is spent by its first use, successful or not.
        const std::optional<Grant> grant
            = m_codes.contains(code) ? std::optional<Grant>(m_codes.take(code)) : std::nullopt;
        const QString verifier = fields->value(u"code_verifier"_s);
        static const QRegularExpression verifierShape(u"^[A-Za-z0-9._~-]{43,128}$"_s);
        if (!grant)
            return tokenError(u"invalid_grant"_s, u"Invalid authorization code"_s);
        if (client != grant->clientID)
            return tokenError(u"invalid_client"_s, u"Invalid client"_s);
        if (fields->value(u"redirect_uri"_s) != grant->redirectURI)
            return tokenError(u"invalid_grant"_s, u"Invalid redirect URI"_s);
        if (!verifierShape.match(verifier).hasMatch() || s256(verifier) != grant->challenge)
            return tokenError(u"invalid_grant"_s, u"code_verifier was incorrect"_s);
        return issue(client, true);
    }

    if (grantType == u"refresh_token"_s) {
        const QString refresh = fields->value(u"refresh_token"_s);
        if (!m_refreshTokens.contains(refresh))
            return tokenError(u"invalid_grant"_s, u"Invalid refresh token"_s);
        if (m_refreshTokens.value(refresh) != client)
            return tokenError(u"invalid_client"_s, u"Invalid client"_s);
        if (rotateRefreshTokens)
            m_refreshTokens.remove(refresh);
        ++refreshes;
        return issue(client, rotateRefreshTokens);
    }
    return tokenError(u"unsupported_grant_type"_s, grantType);
}

std::optional<FakeSpotify::Response> FakeSpotify::nextQueued()
{
    if (queuedApiReplies.isEmpty())
        return std::nullopt;
    return queuedApiReplies.takeFirst();
}

std::optional<FakeSpotify::Response>
FakeSpotify::checkBearer(const FakeHttpServer::Request &request)
{
    const QByteArray header = request.header("authorization");
    if (!header.startsWith("Bearer "))
        return apiError(401, u"No token provided"_s);
    const QString bearer = QString::fromLatin1(header.mid(7));
    if (refuseAllBearers || !m_liveAccessTokens.contains(bearer))
        return apiError(401, u"The access token expired"_s);
    return std::nullopt;
}

std::optional<QStringList> FakeSpotify::trackURIs(const FakeHttpServer::Request &request)
{
    static const QRegularExpression uriShape(u"^spotify:track:[0-9A-Za-z]{22}$"_s);
    const QList<QString> values = request.query.allQueryItemValues(u"uris"_s, QUrl::FullyDecoded);
    if (values.size() != 1 || !request.body.isEmpty())
        return std::nullopt;
    const QStringList uris = values.first().split(u',');
    if (uris.isEmpty() || uris.size() > kMaxURIs)
        return std::nullopt;
    for (const QString &uri : uris) {
        if (!uriShape.match(uri).hasMatch())
            return std::nullopt;
    }
    return uris;
}
