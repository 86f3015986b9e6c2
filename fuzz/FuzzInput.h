#pragma once

#include <QByteArray>
#include <QtGlobal>

#include <cstddef>
#include <cstdint>

// What every target shares: the input as bytes, and a quiet Qt, so that a run prints only the
// fuzzer's own lines and spends its time in the code under test.
inline QByteArray fuzzInput(const uint8_t *data, size_t size)
{
    static const bool quiet = [] {
        qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &) { });
        return true;
    }();
    Q_UNUSED(quiet);
    return QByteArray::fromRawData(reinterpret_cast<const char *>(data), qsizetype(size));
}

// A broken rule of the code under test is a finding like a crash.
#define FUZZ_CHECK(condition)                                                                      \
    do {                                                                                           \
        if (!(condition))                                                                          \
            __builtin_trap();                                                                      \
    } while (false)
