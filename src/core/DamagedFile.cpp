#include "core/DamagedFile.h"

#include <QDateTime>
#include <QFile>

using namespace Qt::StringLiterals;

std::optional<QString> setAsideDamagedFile(const QString &path)
{
    const QString asideName = path + u".damaged-"_s
        + QDateTime::currentDateTimeUtc().toString(u"yyyyMMdd-HHmmss-zzz"_s);
    if (!QFile::rename(path, asideName))
        return std::nullopt;
    return asideName;
}
