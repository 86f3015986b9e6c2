#include "scrobbling/LastFmProtocol.h"

#include <QCryptographicHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonParseError>
#include <QUrl>

#include <algorithm>
#include <cmath>
#include <limits>

using namespace Qt::StringLiterals;

namespace {
constexpr qsizetype kMaxLoggedMessage = 300;

// An integer given as a JSON number or as a string of digits, as the service does both.
std::optional<int> integerFrom(const QJsonValue &value)
{
    if (value.isDouble()) {
        const double number = value.toDouble();
        if (std::isfinite(number) && number == std::trunc(number)
            && std::abs(number) <= double(std::numeric_limits<int>::max()))
            return int(number);
        return std::nullopt;
    }
    if (value.isString()) {
        bool ok = false;
        const int number = value.toString().trimmed().toInt(&ok);
        if (ok)
            return number;
    }
    return std::nullopt;
}
} // namespace

namespace LastFm {

QString signature(const Params &params, const QString &secret)
{
    QList<QByteArray> names;
    for (auto it = params.cbegin(); it != params.cend(); ++it) {
        if (it.key() != u"format"_s && it.key() != u"callback"_s)
            names.append(it.key().toUtf8());
    }
    // Byte order, so that "artist[10]" comes before "artist[1]" exactly as the service sorts.
    std::sort(names.begin(), names.end());
    QByteArray text;
    for (const QByteArray &name : std::as_const(names))
        text += name + params.value(QString::fromUtf8(name)).toUtf8();
    text += secret.toUtf8();
    return QString::fromLatin1(QCryptographicHash::hash(text, QCryptographicHash::Md5).toHex());
}

QByteArray percentEncode(const QString &value)
{
    // toPercentEncoding leaves exactly the unreserved set alone and writes upper-case hex.
    return QUrl::toPercentEncoding(value);
}

QByteArray formEncode(const Params &params)
{
    QByteArray form;
    for (auto it = params.cbegin(); it != params.cend(); ++it) {
        if (!form.isEmpty())
            form += '&';
        form += it.key().toUtf8() + '=' + percentEncode(it.value());
    }
    return form;
}

Reply parseReply(const QByteArray &body, int httpStatus)
{
    Reply reply;
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(body, &error);
    if (error.error != QJsonParseError::NoError) {
        reply.transportError = httpStatus > 0
            ? u"the answer (HTTP %1) is not JSON: %2"_s.arg(httpStatus).arg(error.errorString())
            : u"the answer is not JSON: %1"_s.arg(error.errorString());
        return reply;
    }
    if (!document.isObject()) {
        reply.apiError = APIError { -1, u"malformed response"_s };
        return reply;
    }
    const QJsonObject object = document.object();
    if (object.contains(u"error"_s)) {
        if (const std::optional<int> code = integerFrom(object.value(u"error"_s))) {
            const QJsonValue message = object.value(u"message"_s);
            reply.apiError
                = APIError { *code, message.isString() ? message.toString() : u"unknown"_s };
            return reply;
        }
    }
    const bool success = httpStatus == 0 || (httpStatus >= 200 && httpStatus < 300);
    if (!success) {
        reply.apiError = APIError { -1, u"HTTP %1"_s.arg(httpStatus) };
        return reply;
    }
    reply.object = object;
    return reply;
}

std::optional<QString> tokenFrom(const QJsonObject &answer)
{
    const QJsonValue token = answer.value(u"token"_s);
    if (!token.isString() || token.toString().isEmpty())
        return std::nullopt;
    return token.toString();
}

std::optional<Session> sessionFrom(const QJsonObject &answer)
{
    const QJsonValue session = answer.value(u"session"_s);
    if (!session.isObject())
        return std::nullopt;
    const QJsonValue key = session.toObject().value(u"key"_s);
    const QJsonValue name = session.toObject().value(u"name"_s);
    // An empty key would read as connected while every later call fails.
    if (!key.isString() || !name.isString() || key.toString().isEmpty())
        return std::nullopt;
    return Session { key.toString(), name.toString() };
}

AvatarUpdate avatarFrom(const QJsonObject &answer)
{
    const QJsonValue user = answer.value(u"user"_s);
    if (!user.isObject())
        return {};
    const QJsonValue images = user.toObject().value(u"image"_s);
    if (!images.isArray())
        return {};
    AvatarUpdate update;
    update.usable = true;
    const QJsonArray list = images.toArray();
    for (qsizetype i = list.size() - 1; i >= 0; --i) {
        const QJsonValue text = list.at(i).toObject().value(u"#text"_s);
        if (text.isString() && !text.toString().isEmpty()) {
            update.url = text.toString();
            break;
        }
    }
    return update;
}

std::optional<ScrobbleCounts> scrobbleCountsFrom(const QJsonObject &answer)
{
    const QJsonValue scrobbles = answer.value(u"scrobbles"_s);
    if (!scrobbles.isObject())
        return std::nullopt;
    const QJsonObject record = scrobbles.toObject();
    ScrobbleCounts counts;
    const QJsonObject attributes = record.value(u"@attr"_s).toObject();
    const std::optional<int> accepted = integerFrom(attributes.value(u"accepted"_s));
    const std::optional<int> ignored = integerFrom(attributes.value(u"ignored"_s));
    // A count below zero is no count: such an answer must not pass for one that took the batch.
    if (accepted && ignored && *accepted >= 0 && *ignored >= 0) {
        counts.accepted = *accepted;
        counts.ignored = *ignored;
        return counts;
    }
    // Without counts, read the entries: one object, or a list of them.
    const QJsonValue entries = record.value(u"scrobble"_s);
    if (!entries.isArray() && !entries.isObject())
        return std::nullopt;
    const QJsonArray list
        = entries.isArray() ? entries.toArray() : QJsonArray { entries.toObject() };
    for (const QJsonValue &entry : list) {
        const QJsonValue code
            = entry.toObject().value(u"ignoredMessage"_s).toObject().value(u"code"_s);
        if (integerFrom(code).value_or(0) != 0)
            ++counts.ignored;
        else
            ++counts.accepted;
    }
    return counts;
}

QString loggable(const QString &message, const QString &secret)
{
    QString text = message;
    if (!secret.isEmpty())
        text.replace(secret, u"<hidden>"_s);
    for (QChar &c : text) {
        if (c.category() == QChar::Other_Control || c == QChar::LineSeparator
            || c == QChar::ParagraphSeparator)
            c = u' ';
    }
    if (text.size() > kMaxLoggedMessage)
        text = text.left(kMaxLoggedMessage) + u"…"_s;
    return text;
}

} // namespace LastFm
