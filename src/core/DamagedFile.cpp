#include "core/DamagedFile.h"

#include <QDateTime>
#include <QFile>

#include <cerrno>
#include <cstdio>
#include <fcntl.h>

using namespace Qt::StringLiterals;

std::optional<QString> setAsideDamagedFile(const QString &path)
{
    const QString asideName = path + u".damaged-"_s
        + QDateTime::currentDateTimeUtc().toString(u"yyyyMMdd-HHmmss-zzz"_s);
    // The name itself moves, never what a link there points to; nothing is replaced.
    const QByteArray from = QFile::encodeName(path);
    const QByteArray to = QFile::encodeName(asideName);
    if (::renameat2(AT_FDCWD, from.constData(), AT_FDCWD, to.constData(), RENAME_NOREPLACE) == 0)
        return asideName;
    if (errno == EINVAL && QFile::rename(path, asideName)) // a file system without NOREPLACE
        return asideName;
    return std::nullopt;
}
