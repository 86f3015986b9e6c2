// What another process writes to the single-instance socket. A message that decodes carries
// only absolute URLs, and encodes back to one that decodes to the same URLs.
#include "FuzzInput.h"
#include "platform/linux/SingleInstance.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::optional<QList<QUrl>> urls = SingleInstance::decodeMessage(fuzzInput(data, size));
    if (!urls)
        return 0;
    for (const QUrl &url : *urls)
        FUZZ_CHECK(url.isValid() && !url.isRelative());
    FUZZ_CHECK(SingleInstance::decodeMessage(SingleInstance::encodeMessage(*urls)) == urls);
    return 0;
}
