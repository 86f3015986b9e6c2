// Spotify's answers: a token answer, the profile, the library's "contains" answer and a
// Retry-After value, each read from the same input.
#include "FuzzInput.h"
#include "spotify/SpotifyLibrary.h"
#include "spotify/SpotifyProtocol.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray input = fuzzInput(data, size);
    if (const auto token = Spotify::parseTokenReply(input)) {
        FUZZ_CHECK(!token->accessToken.isEmpty());
        for (const QChar c : token->accessToken)
            FUZZ_CHECK(c > u' ' && c <= u'~'); // it travels in a header line
    }
    Spotify::parseProfile(input);
    SpotifyLibrary::firstLiked(input);
    if (const auto seconds = Spotify::retryAfterSeconds(input))
        FUZZ_CHECK(*seconds >= 0 && *seconds <= Spotify::maxRetryAfterSeconds);
    Spotify::bodyForLog(input);
    return 0;
}
