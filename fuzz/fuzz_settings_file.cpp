// The settings file as Vesper reads it at start: any bytes in defaults.json, then every key
// through every typed read. A value read and written back must read the same.
#include "FuzzInput.h"
#include "core/SettingsStore.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static QTemporaryDir folder(QDir::tempPath() + QStringLiteral("/fuzz-settings-XXXXXX"));
    static const QString path = folder.filePath(QStringLiteral("defaults.json"));
    const QByteArray input = fuzzInput(data, size);
    {
        QFile file(path);
        FUZZ_CHECK(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        FUZZ_CHECK(file.write(input) == input.size());
    }
    const SettingsStore settings(path);
    if (!QFile::exists(path)) {
        // Set aside as damaged: the next run starts from an empty folder again.
        for (const QString &name : QDir(folder.path()).entryList(QDir::Files | QDir::System))
            QFile::remove(folder.filePath(name));
        return 0;
    }
    for (const QString &key : settings.keys()) {
        const QVariant value = settings.object(key);
        settings.boolValue(key);
        settings.integerValue(key);
        settings.doubleValue(key);
        settings.stringValue(key);
        settings.dateValue(key);
        settings.dataValue(key);
        settings.arrayValue(key);
        settings.dictionaryValue(key);
        if (const auto stored = SettingsStore::toStored(value))
            FUZZ_CHECK(SettingsStore::fromStored(*stored) == value);
    }
    return 0;
}
