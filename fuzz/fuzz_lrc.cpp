// The LRC reader and the plain-lyrics reader, on any text a lyrics service might return.
#include "FuzzInput.h"
#include "lyrics/LrcParser.h"

#include <QString>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString text = QString::fromUtf8(fuzzInput(data, size));
    const QList<LyricLine> lines = Lrc::parse(text);
    for (qsizetype i = 0; i < lines.size(); ++i) {
        FUZZ_CHECK(lines[i].time >= 0);
        FUZZ_CHECK(i == 0 || lines[i - 1].time <= lines[i].time);
    }
    for (const double seconds : { -1.0, 0.0, 61.25, 1e12 }) {
        const qsizetype index = Lrc::lineIndexAt(lines, seconds);
        FUZZ_CHECK(index >= 0 && (lines.isEmpty() ? index == 0 : index < lines.size()));
    }
    const QList<LyricLine> plain = Lrc::plainLines(text);
    const QList<LyricLine> trimmed = Lrc::trimBlankEnds(plain);
    FUZZ_CHECK(trimmed.size() <= plain.size());
    return 0;
}
