#pragma once

#include "FakeHttpServer.h"

#include <QHash>
#include <QList>
#include <QObject>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QUrl>

#include <optional>

// The Spotify accounts service and Web API on two local servers, checking what the real ones
// check: the registered client ID and redirect URI, the PKCE verifier against the challenge of
// the approved authorization, single-use codes and refresh tokens, the bearer token and its
// scopes, and the shape of the library calls. Answers have the documented shapes.
class FakeSpotify : public QObject
{
    Q_OBJECT
public:
    using Response = FakeHttpServer::Response;

    explicit FakeSpotify(QObject *parent = nullptr);

    FakeHttpServer &accounts() { return m_accounts; }
    FakeHttpServer &api() { return m_api; }

    // The registered application.
    QString clientID = QStringLiteral("0123456789abcdef0123456789abcdef");
    QString redirectURI = QStringLiteral("vesper://callback");

    // The user approves the authorization page at this address, as the browser shows it: the
    // URL the browser is then sent to, or none (with the reason in lastProblem) when the real
    // page would show an error instead of redirecting.
    std::optional<QUrl> approve(const QUrl &authorizeURL);
    // The user declines: the redirect carries only an error.
    QUrl decline() const;
    QString lastProblem;

    // Knobs.
    qint64 expiresIn = 3600;
    // A refresh answer carries a new refresh token (the old one is then spent).
    bool rotateRefreshTokens = true;
    // While set, the token endpoint answers with this instead of judging the request.
    std::optional<Response> tokenReply;
    // Answers given, in order, to the next Web API requests before any check.
    QList<Response> queuedApiReplies;
    // Every bearer token is refused, however fresh.
    bool refuseAllBearers = false;
    // Access tokens issued so far stop working, as when they expire.
    void expireAccessTokens() { m_liveAccessTokens.clear(); }
    // Issues a token pair as a code exchange would, for tests that start connected.
    std::pair<QString, QString> issueTokens();

    // What the service knows.
    QSet<QString> liked; // track URIs
    QString displayName = QStringLiteral("Ada Lovelace");
    QString avatarURL = QStringLiteral("https://i.scdn.co/image/ab6775700000ee85");
    int refreshes = 0; // successful refreshes
    QStringList refusals; // why token or API requests were refused, for diagnostics
    // Every secret handed out, so tests can look for them where they must not be.
    QStringList secretsIssued() const { return m_secrets; }

private:
    struct Grant
    {
        QString challenge;
        QString clientID;
        QString redirectURI;
    };

    Response token(const FakeHttpServer::Request &request);
    Response tokenError(const QString &error, const QString &description);
    Response apiError(int status, const QString &message);
    // The refusal for a request without a live bearer token; none when it may pass.
    std::optional<Response> checkBearer(const FakeHttpServer::Request &request);
    std::optional<Response> nextQueued();
    // The track URIs of the "uris" parameter; none when malformed.
    std::optional<QStringList> trackURIs(const FakeHttpServer::Request &request);
    QString mint(const QString &prefix);
    Response issue(const QString &clientID, bool withRefreshToken);

    FakeHttpServer m_accounts;
    FakeHttpServer m_api;
    QHash<QString, Grant> m_codes; // unredeemed codes
    QHash<QString, QString> m_refreshTokens; // live refresh token -> client ID
    QSet<QString> m_liveAccessTokens;
    QStringList m_secrets;
    int m_serial = 0;
};
