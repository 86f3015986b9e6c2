#include "spotify/SpotifyProtocol.h"

#include <QCryptographicHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QRandomGenerator>
#include <QStringDecoder>
#include <QStringList>
#include <QUrlQuery>

#include <algorithm>

using namespace Qt::StringLiterals;

namespace {
constexpr int kVerifierBytes = 64;
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
} // namespace

namespace Spotify {

QString base64Url(const QByteArray &bytes)
{
    return QString::fromLatin1(
        bytes.toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals));
}

QString generateVerifier()
{
    QByteArray bytes(kVerifierBytes, Qt::Uninitialized);
    QRandomGenerator::system()->fillRange(reinterpret_cast<quint32 *>(bytes.data()),
                                          kVerifierBytes / int(sizeof(quint32)));
    return base64Url(bytes);
}

QString generateChallenge(const QString &verifier)
{
    return base64Url(QCryptographicHash::hash(verifier.toUtf8(), QCryptographicHash::Sha256));
}

QUrl authorizationURL(const QUrl &authorizePage, const QString &clientID, const QString &challenge)
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

std::optional<QString> callbackCode(const QUrl &url)
{
    const QUrlQuery query(url);
    const QList<std::pair<QString, QString>> items = query.queryItems(QUrl::FullyDecoded);
    for (const auto &[name, value] : items) {
        if (name == u"code"_s)
            return value.isEmpty() ? std::nullopt : std::optional<QString>(value);
    }
    return std::nullopt;
}

std::optional<QString> trimmedClientID(const std::optional<QString> &clientID)
{
    if (!clientID)
        return std::nullopt;
    const QString trimmed = clientID->trimmed();
    if (trimmed.isEmpty())
        return std::nullopt;
    return trimmed;
}

bool isValidClientID(const QString &clientID)
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

std::optional<TokenReply> parseTokenReply(const QByteArray &body)
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

std::optional<Profile> parseProfile(const QByteArray &body)
{
    const QJsonDocument document = QJsonDocument::fromJson(body);
    if (!document.isObject())
        return std::nullopt;
    const QJsonObject object = document.object();
    Profile profile { stringIn(object, u"display_name"_s), std::nullopt };
    const QJsonArray images = object.value(u"images"_s).toArray();
    for (const QJsonValue &image : images) {
        profile.avatarURL = stringIn(image.toObject(), u"url"_s);
        if (profile.avatarURL)
            break;
    }
    return profile;
}

std::optional<double> retryAfterSeconds(const QByteArray &value)
{
    bool ok = false;
    const qint64 seconds = value.trimmed().toLongLong(&ok);
    if (!ok || seconds < 0)
        return std::nullopt;
    return std::clamp(double(seconds), 1.0, maxRetryAfterSeconds);
}

QByteArray formBody(const QList<std::pair<QString, QString>> &fields)
{
    QByteArrayList parts;
    for (const auto &[name, value] : fields)
        parts.append(QUrl::toPercentEncoding(name) + '=' + QUrl::toPercentEncoding(value));
    return parts.join('&');
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

} // namespace Spotify
