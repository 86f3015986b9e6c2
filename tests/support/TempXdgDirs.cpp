#include "TempXdgDirs.h"

#include <QDir>
#include <QFile>

namespace {
const char *const kVariables[] = { "XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME",
                                   "XDG_RUNTIME_DIR" };
const char *const kFolders[] = { "config", "data", "cache", "runtime" };
} // namespace

TempXdgDirs::TempXdgDirs()
{
    for (size_t i = 0; i < std::size(kVariables); ++i) {
        m_saved.append({ kVariables[i], qgetenv(kVariables[i]) });
        const QString path = m_dir.path() + u'/' + QLatin1String(kFolders[i]);
        QDir().mkpath(path);
        QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        qputenv(kVariables[i], QFile::encodeName(path));
    }
}

TempXdgDirs::~TempXdgDirs()
{
    for (const auto &[name, value] : m_saved) {
        if (value.isNull())
            qunsetenv(name.constData());
        else
            qputenv(name.constData(), value);
    }
}
