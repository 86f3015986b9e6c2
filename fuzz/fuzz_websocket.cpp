// What a client sends the browser bridge before any message is read: the upgrade request, or
// (first byte odd) the frames after it. Frames must read the same whether the bytes arrive at
// once or one by one.
#include "FuzzInput.h"
#include "browser/WebSocketFrames.h"
#include "browser/WebSocketHandshake.h"

#include <QList>

#include <algorithm>

namespace {
constexpr qint64 kMaxMessageBytes = 4096;

using WebSocketFrames::Event;

QList<Event> drain(WebSocketFrames::Reader &reader)
{
    QList<Event> events;
    while (const std::optional<Event> event = reader.next())
        events.append(*event);
    // Nothing waits beyond one frame's header, mask and largest payload.
    FUZZ_CHECK(reader.pendingBytes() <= 14 + kMaxMessageBytes);
    return events;
}

bool same(const QList<Event> &a, const QList<Event> &b)
{
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](const Event &x, const Event &y) {
        return x.kind == y.kind && x.payload == y.payload && x.code == y.code;
    });
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray input = fuzzInput(data, size);
    if (input.isEmpty())
        return 0;
    const QByteArray bytes = input.mid(1);
    if (!(input[0] & 1)) {
        const WebSocketHandshake::Reading reading = WebSocketHandshake::read(bytes);
        if (reading.result == WebSocketHandshake::Reading::Result::Upgrade) {
            FUZZ_CHECK(reading.length > 0 && reading.length <= bytes.size());
            FUZZ_CHECK(WebSocketHandshake::acceptAnswer(reading.key).endsWith("\r\n\r\n"));
        }
        return 0;
    }

    WebSocketFrames::Reader whole(kMaxMessageBytes);
    whole.append(bytes);
    const QList<Event> atOnce = drain(whole);
    WebSocketFrames::Reader piecewise(kMaxMessageBytes);
    QList<Event> byteByByte;
    for (const char byte : bytes) {
        piecewise.append(QByteArrayView(&byte, 1));
        byteByByte += drain(piecewise);
    }
    FUZZ_CHECK(same(atOnce, byteByByte));
    for (const Event &event : atOnce) {
        if (event.kind == Event::Kind::Text || event.kind == Event::Kind::Binary)
            FUZZ_CHECK(event.payload.size() <= kMaxMessageBytes);
    }
    return 0;
}
