#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QString>
#include <QUrl>

#include <optional>
#include <utility>

// How Spotify's accounts service and Web API are spoken: the PKCE authorization, the token
// answers, form bodies and the reading of answers. Pure functions, so that every rule here is
// tested without a network.
namespace Spotify {

inline const QString redirectURI = QStringLiteral("vesper://callback");
inline const QString scopes = QStringLiteral("user-library-read user-library-modify");
inline constexpr double maxRetryAfterSeconds = 24 * 60 * 60;

// What the token endpoint hands out.
struct TokenReply
{
    QString accessToken;
    std::optional<QString> refreshToken;
    std::optional<qint64> expiresIn; // seconds
};

// The parts of the user's profile (GET /me) Vesper shows.
struct Profile
{
    std::optional<QString> displayName;
    std::optional<QString> avatarURL; // the first image that has one
};

// URL-safe Base64 without padding, as PKCE and JWT write it.
QString base64Url(const QByteArray &bytes);
// 64 bytes of the system's secure random source: 86 characters.
QString generateVerifier();
// The S256 challenge of a verifier: 43 characters.
QString generateChallenge(const QString &verifier);
QUrl authorizationURL(const QUrl &authorizePage, const QString &clientID, const QString &challenge);
// The value of the first "code" item; none when it is missing or empty.
std::optional<QString> callbackCode(const QUrl &url);
// The client ID the user meant: trimmed, and none when nothing is left.
std::optional<QString> trimmedClientID(const std::optional<QString> &clientID);
bool isValidClientID(const QString &clientID);
// A token answer with a usable access token; none for anything else. A token must be able to
// travel in a header line: visible ASCII, bounded.
std::optional<TokenReply> parseTokenReply(const QByteArray &body);
// The profile in an answer of GET /me; none when the answer is not an object.
std::optional<Profile> parseProfile(const QByteArray &body);
// Seconds to wait from a Retry-After value (delta seconds), bounded; none when unusable.
std::optional<double> retryAfterSeconds(const QByteArray &value);
// application/x-www-form-urlencoded, every name and value fully encoded.
QByteArray formBody(const QList<std::pair<QString, QString>> &fields);
// An error body as one bounded log line.
QString bodyForLog(const QByteArray &body);
// The string under key; none when it is missing or not a string.
std::optional<QString> stringIn(const QJsonObject &object, const QString &key);

} // namespace Spotify
