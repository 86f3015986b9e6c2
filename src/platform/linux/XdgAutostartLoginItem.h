#pragma once

#include "platform/LoginItem.h"

#include <QByteArray>
#include <QString>

// Launch at login through the user's XDG autostart folder: the entry
// $XDG_CONFIG_HOME/autostart/vesper.desktop starts Vesper when the session starts.
class XdgAutostartLoginItem : public LoginItem
{
public:
    // The entry launches executablePath; by default the binary this process runs from.
    explicit XdgAutostartLoginItem(const QString &executablePath = QString());

    bool isEnabled() const override;
    bool setEnabled(bool enabled, QString &errorString) override;

    // Resolved on every call, so a changed XDG_CONFIG_HOME is honoured.
    static QString entryPath();
    // The path of the program to start at login: an AppImage's own file when running from
    // one (its mount point vanishes on exit), the running binary otherwise.
    static QString runningExecutable();

    // Whether a desktop entry with these contents starts its program at login: false when its
    // [Desktop Entry] group says Hidden=true or X-GNOME-Autostart-enabled=false.
    static bool entryEnablesAutostart(const QByteArray &contents);
    // The entry written when enabling, Exec quoted and escaped as desktop entries require.
    static QByteArray entryContents(const QString &executablePath);
    static QString execArgument(const QString &argument);

private:
    QString m_executablePath;
};
