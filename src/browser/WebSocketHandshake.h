#pragma once

#include <QByteArray>
#include <QByteArrayView>

// The server's side of the WebSocket opening handshake (RFC 6455 §4.2): reads a client's
// upgrade request and writes the answer. Whether the origin is welcome is the caller's call.
namespace WebSocketHandshake {

// Far above what a browser sends (under 1 KB); a longer request is refused.
inline constexpr qsizetype maxRequestBytes = 8 * 1024;

struct Reading
{
    enum class Result {
        Incomplete, // the request has not ended yet
        Upgrade, // a valid upgrade request, `length` bytes long
        Refused, // answer with `status` and close
    };
    Result result = Result::Incomplete;
    qsizetype length = 0;
    int status = 0;
    // The first Origin header, as sent; empty when there is none.
    QByteArray origin;
    QByteArray key;
};

// Reads the request at the start of `received`; frames may follow it.
Reading read(QByteArrayView received);

// "101 Switching Protocols" for the client's Sec-WebSocket-Key.
QByteArray acceptAnswer(const QByteArray &key);
// A bodiless answer with that status that asks the client to close.
QByteArray refusal(int status);

} // namespace WebSocketHandshake
