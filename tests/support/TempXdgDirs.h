#pragma once

#include <QByteArray>
#include <QString>
#include <QTemporaryDir>

// Points the XDG base directories (config, data, cache, runtime) at a fresh temporary folder
// for the life of the object, and restores the previous environment afterwards.
class TempXdgDirs
{
public:
    TempXdgDirs();
    ~TempXdgDirs();
    TempXdgDirs(const TempXdgDirs &) = delete;
    TempXdgDirs &operator=(const TempXdgDirs &) = delete;

    QString root() const { return m_dir.path(); }
    QString configHome() const { return m_dir.path() + QStringLiteral("/config"); }
    QString dataHome() const { return m_dir.path() + QStringLiteral("/data"); }
    QString runtimeDir() const { return m_dir.path() + QStringLiteral("/runtime"); }

private:
    QTemporaryDir m_dir;
    QList<QPair<QByteArray, QByteArray>> m_saved;
};
