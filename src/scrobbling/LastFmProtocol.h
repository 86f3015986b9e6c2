#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QMap>
#include <QString>

#include <optional>

// How Last.fm's web service is spoken: request signing and encoding, and the reading of its
// answers. Pure functions, so that every rule here is tested without a network.
namespace LastFm {

using Params = QMap<QString, QString>;

// An error answer of the service, or one of Vesper's own reading of an answer (code -1).
struct APIError
{
    int code = -1;
    QString message;
};

// The service's error codes Vesper acts on.
inline constexpr int kErrorInvalidSessionKey = 9;
inline constexpr int kErrorTokenNotAuthorized = 14;

// The outcome of one call: the answer's object, an error answer, or a transport failure (no
// usable answer arrived: network error, timeout, a body that is not JSON).
struct Reply
{
    std::optional<QJsonObject> object;
    std::optional<APIError> apiError;
    QString transportError;
};

// MD5 over every parameter but "format" and "callback", sorted by name in byte order, each name
// followed by its value, then the secret; 32 lower-case hex digits.
QString signature(const Params &params, const QString &secret);

// The value's UTF-8 bytes with everything but letters, digits and "-._~" as %XX.
QByteArray percentEncode(const QString &value);

// "name=value&…" with the values percent-encoded; names are Vesper's own and go as they are.
QByteArray formEncode(const Params &params);

// Reads an answer body. httpStatus is the final status (0 when unknown). A non-success status
// whose body carries no error of its own is still a failure: it never reads as an answer.
Reply parseReply(const QByteArray &body, int httpStatus);

// The string under "token" of an auth.getToken answer.
std::optional<QString> tokenFrom(const QJsonObject &answer);

struct Session
{
    QString key;
    QString name;
};
// "session" → "key", "name" of an auth.getSession answer.
std::optional<Session> sessionFrom(const QJsonObject &answer);

// What a user.getInfo answer says about the avatar: nothing usable (leave it as it is), or the
// last non-empty image address, none when every address is empty.
struct AvatarUpdate
{
    bool usable = false;
    std::optional<QString> url;
};
AvatarUpdate avatarFrom(const QJsonObject &answer);

// The counts of a track.scrobble answer; none when the answer is not one (negative counts make
// none either: the batch stays queued). The service sends the counts as numbers or as strings,
// and a single scrobble as an object rather than a list.
struct ScrobbleCounts
{
    int accepted = 0;
    int ignored = 0;
};
std::optional<ScrobbleCounts> scrobbleCountsFrom(const QJsonObject &answer);

// A message from the service made safe for a log line: one line, bounded, and never showing
// the given secret.
QString loggable(const QString &message, const QString &secret = {});

} // namespace LastFm
