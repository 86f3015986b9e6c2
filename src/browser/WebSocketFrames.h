#pragma once

#include <QByteArray>
#include <QByteArrayView>

#include <optional>

// WebSocket frames as a server sees them (RFC 6455 §5): the client's frames are read as they
// come in, whole messages reassembled from fragments within a size cap; the server's own frames
// are written unmasked.
namespace WebSocketFrames {

enum Opcode : quint8 {
    Continuation = 0x0,
    Text = 0x1,
    Binary = 0x2,
    Close = 0x8,
    Ping = 0x9,
    Pong = 0xA,
};

// Close codes Vesper sends (§7.4.1).
enum CloseCode : quint16 {
    Normal = 1000,
    GoingAway = 1001,
    ProtocolError = 1002,
    NoStatus = 1005, // a close frame without a code; never sent
    InvalidText = 1007,
    PolicyViolated = 1008,
    TooBig = 1009,
};

struct Event
{
    enum class Kind {
        Text, // a whole message, valid UTF-8
        Binary, // a whole message
        Ping,
        Pong,
        Close, // the client's close frame: `code` and `payload` (its reason)
        Failure, // the client broke the protocol: close with `code`, `payload` says why
    };
    Kind kind;
    QByteArray payload;
    quint16 code = 0;
};

class Reader
{
public:
    explicit Reader(qint64 maxMessageBytes) : m_maxMessageBytes(maxMessageBytes) { }

    void append(QByteArrayView bytes) { m_buffer.append(bytes); }
    // The next event the bytes so far make up; none until more bytes come. After a Close or a
    // Failure nothing more is read.
    std::optional<Event> next();
    // Bytes held for a frame that has not fully arrived.
    qsizetype pendingBytes() const { return m_buffer.size() - m_offset; }

private:
    std::optional<Event> fail(quint16 code, const char *why);
    std::optional<Event> finishMessage();
    std::optional<Event> closeEvent(QByteArray payload);

    qint64 m_maxMessageBytes;
    QByteArray m_buffer;
    qsizetype m_offset = 0; // bytes of m_buffer already read
    QByteArray m_message; // fragments of a message not yet finished
    std::optional<Opcode> m_messageOpcode;
    bool m_ended = false;
};

// One unfragmented server frame.
QByteArray encode(Opcode opcode, QByteArrayView payload);
// A close frame with the code and, cut to fit a control frame, the reason.
QByteArray encodeClose(quint16 code, QByteArrayView reason);

} // namespace WebSocketFrames
