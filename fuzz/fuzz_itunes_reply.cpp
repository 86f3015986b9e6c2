// An iTunes Search answer, as the artwork resolver reads it for a track of a given album (the
// input's first line).
#include "FuzzInput.h"
#include "nowplaying/ArtworkResolver.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray input = fuzzInput(data, size);
    const qsizetype newline = input.indexOf('\n');
    const QString album = QString::fromUtf8(input.first(qMax<qsizetype>(newline, 0)));
    const std::optional<QUrl> artwork
        = ArtworkResolver::artworkInSearchReply(input.mid(newline + 1), album);
    FUZZ_CHECK(!artwork || artwork->isValid());
    return 0;
}
