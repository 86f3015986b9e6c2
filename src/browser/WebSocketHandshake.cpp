#include "browser/WebSocketHandshake.h"

#include <QCryptographicHash>
#include <QStringBuilder>

namespace {

constexpr QByteArrayView kEndOfHeaders = "\r\n\r\n";
// RFC 6455 §1.3: appended to the client's key before hashing.
constexpr QByteArrayView kAcceptSuffix = "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";

// Whether a comma-separated header value names the token, in any letter case.
bool hasToken(QByteArrayView value, QByteArrayView token)
{
    while (!value.isEmpty()) {
        const qsizetype comma = value.indexOf(',');
        const QByteArrayView item = (comma < 0 ? value : value.first(comma)).trimmed();
        if (item.compare(token, Qt::CaseInsensitive) == 0)
            return true;
        value = comma < 0 ? QByteArrayView() : value.sliced(comma + 1);
    }
    return false;
}

WebSocketHandshake::Reading refused(int status)
{
    WebSocketHandshake::Reading reading;
    reading.result = WebSocketHandshake::Reading::Result::Refused;
    reading.status = status;
    return reading;
}

} // namespace

namespace WebSocketHandshake {

Reading read(QByteArrayView received)
{
    const qsizetype end
        = received.first(qMin(received.size(), maxRequestBytes)).indexOf(kEndOfHeaders);
    if (end < 0)
        return received.size() >= maxRequestBytes ? refused(431) : Reading();

    QByteArrayView lines = received.first(end + 2); // each line ends with CRLF
    const auto takeLine = [&lines] {
        const qsizetype lineEnd = lines.indexOf("\r\n");
        const QByteArrayView line = lines.first(lineEnd);
        lines = lines.sliced(lineEnd + 2);
        return line;
    };
    const QByteArrayView requestLine = takeLine();
    if (!requestLine.startsWith("GET ") || !requestLine.endsWith(" HTTP/1.1"))
        return refused(400);

    bool hasHost = false;
    bool upgrade = false;
    bool connectionUpgrade = false;
    QByteArrayView version;
    Reading reading;
    bool hasOrigin = false;
    while (!lines.isEmpty()) {
        const QByteArrayView line = takeLine();
        const qsizetype colon = line.indexOf(':');
        // A line without a name, or a folded one, is not a request a browser sends.
        if (colon <= 0 || line.front() == ' ' || line.front() == '\t')
            return refused(400);
        const QByteArrayView name = line.first(colon);
        const QByteArrayView value = line.sliced(colon + 1).trimmed();
        const auto is = [&name](QByteArrayView known) {
            return name.compare(known, Qt::CaseInsensitive) == 0;
        };
        if (is("Host"))
            hasHost = true;
        else if (is("Upgrade"))
            upgrade = upgrade || hasToken(value, "websocket");
        else if (is("Connection"))
            connectionUpgrade = connectionUpgrade || hasToken(value, "Upgrade");
        else if (is("Sec-WebSocket-Version"))
            version = value;
        else if (is("Sec-WebSocket-Key"))
            reading.key = value.toByteArray();
        else if (is("Origin") && !hasOrigin) {
            // The first one counts; a second cannot smuggle an allowed origin in.
            hasOrigin = true;
            reading.origin = value.toByteArray();
        }
    }
    if (!hasHost || !upgrade || !connectionUpgrade)
        return refused(400);
    if (version != "13")
        return refused(426);
    const auto key
        = QByteArray::fromBase64Encoding(reading.key, QByteArray::AbortOnBase64DecodingErrors);
    if (!key || key.decoded.size() != 16)
        return refused(400);

    reading.result = Reading::Result::Upgrade;
    reading.length = end + kEndOfHeaders.size();
    return reading;
}

QByteArray acceptAnswer(const QByteArray &key)
{
    const QByteArray accept
        = QCryptographicHash::hash(QByteArray(key + kAcceptSuffix.toByteArray()),
                                   QCryptographicHash::Sha1)
              .toBase64();
    return "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
           "Sec-WebSocket-Accept: "
        + accept + "\r\n\r\n";
}

QByteArray refusal(int status)
{
    const char *reason = status == 403 ? "Forbidden"
        : status == 426                ? "Upgrade Required"
        : status == 431                ? "Request Header Fields Too Large"
                                       : "Bad Request";
    QByteArray answer = "HTTP/1.1 " + QByteArray::number(status) + ' ' + reason + "\r\n";
    if (status == 426)
        answer += "Sec-WebSocket-Version: 13\r\n";
    return answer + "Connection: close\r\nContent-Length: 0\r\n\r\n";
}

} // namespace WebSocketHandshake
