#pragma once

#include <QDir>
#include <QTemporaryDir>

// Points the XDG base folders (config, data, cache, runtime) at a fresh temporary folder for the
// life of the object, and restores the previous environment afterwards.
class TempXdgDirs
{
public:
    TempXdgDirs()
    {
        for (const auto &[variable, folder] : kFolders) {
            m_saved.append({ variable, qgetenv(variable) });
            const QString path = m_dir.path() + u'/' + QLatin1String(folder);
            QDir().mkpath(path);
            QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
            qputenv(variable, QFile::encodeName(path));
        }
    }
    ~TempXdgDirs()
    {
        for (const auto &[name, value] : m_saved)
            value.isNull() ? qunsetenv(name.constData()) : qputenv(name.constData(), value);
    }
    TempXdgDirs(const TempXdgDirs &) = delete;
    TempXdgDirs &operator=(const TempXdgDirs &) = delete;

    QString root() const { return m_dir.path(); }
    QString configHome() const { return m_dir.path() + QStringLiteral("/config"); }
    QString dataHome() const { return m_dir.path() + QStringLiteral("/data"); }
    QString runtimeDir() const { return m_dir.path() + QStringLiteral("/runtime"); }

private:
    static constexpr std::pair<const char *, const char *> kFolders[]
        = { { "XDG_CONFIG_HOME", "config" },
            { "XDG_DATA_HOME", "data" },
            { "XDG_CACHE_HOME", "cache" },
            { "XDG_RUNTIME_DIR", "runtime" } };
    QTemporaryDir m_dir;
    QList<QPair<QByteArray, QByteArray>> m_saved;
};
