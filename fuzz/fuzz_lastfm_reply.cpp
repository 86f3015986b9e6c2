// Last.fm's answers: the first two bytes are the HTTP status, the rest the body; whatever reads
// as an answer is read by every reader of an answer.
#include "FuzzInput.h"
#include "scrobbling/LastFmProtocol.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray input = fuzzInput(data, size);
    if (input.size() < 2)
        return 0;
    const int status = (quint8(input[0]) << 8 | quint8(input[1])) % 600;
    const LastFm::Reply reply = LastFm::parseReply(input.mid(2), status);
    // Exactly one outcome.
    FUZZ_CHECK(int(reply.object.has_value()) + int(reply.apiError.has_value())
                   + int(!reply.transportError.isEmpty())
               == 1);
    if (reply.object) {
        LastFm::tokenFrom(*reply.object);
        LastFm::sessionFrom(*reply.object);
        LastFm::avatarFrom(*reply.object);
        if (const auto counts = LastFm::scrobbleCountsFrom(*reply.object))
            FUZZ_CHECK(counts->accepted >= 0 && counts->ignored >= 0);
    }
    if (reply.apiError)
        LastFm::loggable(reply.apiError->message, QStringLiteral("secret"));
    return 0;
}
