#include "browser/WebSocketFrames.h"

#include <QStringDecoder>
#include <QtEndian>

namespace {

constexpr qsizetype kMaskBytes = 4;
constexpr qsizetype kMaxControlPayload = 125;

bool isValidUtf8(QByteArrayView bytes)
{
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString decoded = decoder.decode(bytes);
    return !decoder.hasError();
}

// Codes a client may send (§7.4): the defined ones that may travel, and those for
// applications and libraries.
bool isSendableCloseCode(quint16 code)
{
    return (code >= 1000 && code <= 1014 && code != 1004 && code != 1005 && code != 1006)
        || (code >= 3000 && code <= 4999);
}

} // namespace

namespace WebSocketFrames {

std::optional<Event> Reader::next()
{
    while (!m_ended) {
        const QByteArrayView data = QByteArrayView(m_buffer).sliced(m_offset);
        if (data.size() < 2)
            break;
        const auto first = quint8(data[0]);
        const auto second = quint8(data[1]);
        const bool finalFrame = first & 0x80;
        const auto opcode = Opcode(first & 0x0f);
        if (first & 0x70)
            return fail(ProtocolError, "reserved bits set");
        // §5.1: a server closes the connection on a frame its client did not mask.
        if (!(second & 0x80))
            return fail(ProtocolError, "unmasked frame");

        quint64 length = second & 0x7f;
        qsizetype header = 2;
        if (length == 126) {
            if (data.size() < 4)
                break;
            length = qFromBigEndian<quint16>(data.data() + 2);
            header = 4;
        } else if (length == 127) {
            if (data.size() < 10)
                break;
            length = qFromBigEndian<quint64>(data.data() + 2);
            header = 10;
        }

        if (opcode & 0x8) {
            if (opcode != Close && opcode != Ping && opcode != Pong)
                return fail(ProtocolError, "reserved opcode");
            if (!finalFrame)
                return fail(ProtocolError, "fragmented control frame");
            if (length > quint64(kMaxControlPayload))
                return fail(ProtocolError, "control frame over 125 bytes");
        } else {
            if (opcode != Continuation && opcode != Text && opcode != Binary)
                return fail(ProtocolError, "reserved opcode");
            if (opcode == Continuation && !m_messageOpcode)
                return fail(ProtocolError, "continuation without a message");
            if (opcode != Continuation && m_messageOpcode)
                return fail(ProtocolError, "new message inside a fragmented one");
            // Refused on its header, before a byte of it is held.
            if (length > quint64(m_maxMessageBytes - m_message.size()))
                return fail(TooBig, "message too big");
        }
        // Bounded by now: at most the message cap.
        const qsizetype frameBytes = header + kMaskBytes + qsizetype(length);
        if (data.size() < frameBytes)
            break;

        const QByteArrayView mask = data.sliced(header, kMaskBytes);
        QByteArray payload = data.sliced(header + kMaskBytes, qsizetype(length)).toByteArray();
        char *bytes = payload.data();
        for (qsizetype i = 0; i < payload.size(); ++i)
            bytes[i] = char(bytes[i] ^ mask[i % kMaskBytes]);
        m_offset += frameBytes;

        switch (opcode) {
        case Ping:
            return Event { Event::Kind::Ping, payload };
        case Pong:
            return Event { Event::Kind::Pong, payload };
        case Close:
            return closeEvent(payload);
        case Text:
        case Binary:
            m_messageOpcode = opcode;
            [[fallthrough]];
        default:
            m_message += payload;
            if (finalFrame)
                return finishMessage();
        }
    }
    // Read frames leave the buffer once per batch, not once per frame.
    m_buffer.remove(0, m_offset);
    m_offset = 0;
    return std::nullopt;
}

std::optional<Event> Reader::fail(quint16 code, const char *why)
{
    m_ended = true;
    m_buffer.clear();
    m_offset = 0;
    m_message.clear();
    return Event { Event::Kind::Failure, QByteArray(why), code };
}

std::optional<Event> Reader::finishMessage()
{
    const QByteArray message = std::exchange(m_message, {});
    const Opcode opcode = *std::exchange(m_messageOpcode, std::nullopt);
    if (opcode == Binary)
        return Event { Event::Kind::Binary, message };
    if (!isValidUtf8(message))
        return fail(InvalidText, "text is not UTF-8");
    return Event { Event::Kind::Text, message };
}

std::optional<Event> Reader::closeEvent(QByteArray payload)
{
    m_ended = true;
    if (payload.isEmpty())
        return Event { Event::Kind::Close, {}, NoStatus };
    if (payload.size() < 2)
        return fail(ProtocolError, "close frame of one byte");
    const quint16 code = qFromBigEndian<quint16>(payload.constData());
    if (!isSendableCloseCode(code))
        return fail(ProtocolError, "invalid close code");
    payload.remove(0, 2);
    if (!isValidUtf8(payload))
        return fail(InvalidText, "close reason is not UTF-8");
    return Event { Event::Kind::Close, payload, code };
}

QByteArray encode(Opcode opcode, QByteArrayView payload)
{
    const auto size = quint64(payload.size());
    QByteArray frame;
    frame.reserve(payload.size() + 10);
    frame.append(char(0x80 | opcode));
    if (size < 126) {
        frame.append(char(size));
    } else if (size <= 0xffff) {
        frame.append(char(126));
        const quint16 length = qToBigEndian(quint16(size));
        frame.append(reinterpret_cast<const char *>(&length), sizeof length);
    } else {
        frame.append(char(127));
        const quint64 length = qToBigEndian(size);
        frame.append(reinterpret_cast<const char *>(&length), sizeof length);
    }
    return frame.append(payload);
}

QByteArray encodeClose(quint16 code, QByteArrayView reason)
{
    QByteArray payload(2, '\0');
    qToBigEndian(code, payload.data());
    reason = reason.first(qMin(reason.size(), kMaxControlPayload - 2));
    // Never cut a character in two: a close reason must be UTF-8.
    while (!isValidUtf8(reason))
        reason.chop(1);
    return encode(Close, payload.append(reason));
}

} // namespace WebSocketFrames
