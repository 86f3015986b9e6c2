// The update manifest, as the update check judges it against a running version.
#include "FuzzInput.h"
#include "updates/UpdateCheckService.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    using Status = UpdateCheckService::Status;
    static const QUrl fallback(QStringLiteral("https://vesper.invalid/#download"));
    const QByteArray body = fuzzInput(data, size);
    const Status status = UpdateCheckService::evaluate(200, body, QStringLiteral("1.4.0"), fallback);
    FUZZ_CHECK(status.kind == Status::Kind::UpdateAvailable || status.kind == Status::Kind::UpToDate
               || status.kind == Status::Kind::Failed);
    if (status.kind == Status::Kind::UpdateAvailable) {
        const QString scheme = status.downloadURL.scheme();
        FUZZ_CHECK(scheme == QStringLiteral("https") || scheme == QStringLiteral("http"));
    }
    return 0;
}
