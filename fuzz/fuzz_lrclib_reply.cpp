// LRCLIB's answers, /api/get and /api/search, as they reach the lyrics service. The first byte
// chooses the duration the search is matched against.
#include "FuzzInput.h"
#include "lyrics/LyricsService.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray input = fuzzInput(data, size);
    const double duration = input.isEmpty() ? 0 : double(quint8(input[0])) * 1.5;
    const QJsonDocument reply = QJsonDocument::fromJson(input.mid(1));
    for (const auto &result :
         { LyricsService::fromRecordReply(reply), LyricsService::fromSearchReply(reply, duration) }) {
        if (result && result->synced)
            FUZZ_CHECK(!result->lines.isEmpty());
    }
    return 0;
}
