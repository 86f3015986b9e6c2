#include "TempXdgDirs.h"
#include "platform/linux/XdgAutostartLoginItem.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTest>

using namespace Qt::StringLiterals;

namespace {
bool writeFile(const QString &path, const QByteArray &contents)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(contents) == contents.size();
}

QByteArray readEntry()
{
    QFile file(XdgAutostartLoginItem::entryPath());
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// The value of key in the entry on disk, or a null array.
QByteArray entryValue(const QByteArray &key)
{
    const QList<QByteArray> lines = readEntry().split('\n');
    for (const QByteArray &line : lines) {
        if (line.startsWith(QByteArray(key + '=')))
            return line.mid(key.size() + 1);
    }
    return {};
}
} // namespace

class TestLoginItem : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void readsWhetherAnEntryStartsVesper()
    {
        // Read as GLib reads desktop files: the last value of a key in the first
        // [Desktop Entry] group counts, blanks around "=" and CR line ends are allowed.
        const QByteArray head
            = "[Desktop Entry]\nType=Application\nName=Vesper\nExec=/usr/bin/vesper\n";
        const QList<QPair<QByteArray, bool>> entries {
            { head, true },
            { head + "Hidden=true\n", false },
            { head + "X-GNOME-Autostart-enabled=false\n", false },
            { head + "Hidden = true \n", false },
            { QByteArray(head + "Hidden=true\n").replace("\n", "\r\n"), false },
            { head + "Hidden=true\nHidden=false\n", true },
            { head + "[Desktop Action quit]\nHidden=true\nX-GNOME-Autostart-enabled=false\n",
              true },
            { head + "[Extra]\n[Desktop Entry]\nHidden=true\n", true },
            { "Type=Application\nExec=vesper\n", false },
        };
        for (const auto &[entry, enabled] : entries)
            QVERIFY2(XdgAutostartLoginItem::entryEnablesAutostart(entry) == enabled, entry.data());
    }

    void quotesExec()
    {
        // As the values appear in the file: the string escapes of desktop entries apply on top
        // of the quoting of Exec arguments.
        const QList<QPair<QString, QString>> paths {
            { u"/usr/bin/vesper"_s, u"/usr/bin/vesper"_s },
            { u"/opt/My Apps/vesper"_s, u"\"/opt/My Apps/vesper\""_s },
            { u"/home/a$b/vesper"_s, u"\"/home/a\\\\$b/vesper\""_s },
            { u"/x\\y/vesper"_s, u"\"/x\\\\\\\\y/vesper\""_s },
            { u"/x/a\"b"_s, u"\"/x/a\\\\\"b\""_s },
            { u"/x/100%/vesper"_s, u"/x/100%%/vesper"_s },
            { u"/x/a\nb"_s, u"\"/x/a\\nb\""_s },
        };
        for (const auto &[path, exec] : paths)
            QCOMPARE(XdgAutostartLoginItem::execArgument(path), exec);
    }

    void enablesAndDisables()
    {
        TempXdgDirs dirs;
        const QString path = dirs.configHome() + u"/autostart/vesper.desktop"_s;
        QCOMPARE(XdgAutostartLoginItem::entryPath(), path);
        // An entry another hand disabled reads as off; enabling writes it anew.
        QVERIFY(writeFile(path, "[Desktop Entry]\nType=Application\nExec=/old\nHidden=true\n"));
        XdgAutostartLoginItem item(u"/opt/Vesper Build/vesper"_s);
        QVERIFY(!item.isEnabled());
        QString error;
        QVERIFY(item.setEnabled(true, error));
        QVERIFY(error.isEmpty());
        QVERIFY(item.isEnabled());

        QVERIFY(readEntry().startsWith("[Desktop Entry]\n"));
        QCOMPARE(entryValue("Type"), "Application");
        QCOMPARE(entryValue("Name"), "Vesper");
        QCOMPARE(entryValue("Exec"), "\"/opt/Vesper Build/vesper\"");
        QCOMPARE(entryValue("Icon"), "vesper");
        QCOMPARE(entryValue("X-GNOME-Autostart-enabled"), "true");
        QVERIFY(entryValue("Hidden").isNull());
        // The save went through a temporary file that is gone now.
        QCOMPARE(QDir(dirs.configHome() + u"/autostart"_s).entryList(QDir::Files),
                 QStringList { u"vesper.desktop"_s });

        QVERIFY(item.setEnabled(false, error));
        QVERIFY(!QFile::exists(path));
        QVERIFY(!item.isEnabled());
        // Disabling what is not enabled is no failure.
        QVERIFY(item.setEnabled(false, error));
        QVERIFY(error.isEmpty());
    }

    void launchesTheRunningBinary()
    {
        TempXdgDirs dirs;
        QString error;
        QVERIFY(XdgAutostartLoginItem().setEnabled(true, error));
        QCOMPARE(QString::fromUtf8(entryValue("Exec")),
                 XdgAutostartLoginItem::execArgument(QCoreApplication::applicationFilePath()));

        // An AppImage runs from a mount point that is gone after it exits; its file stays.
        const QString appImage = dirs.root() + u"/Vesper 1.0.AppImage"_s;
        QVERIFY(writeFile(appImage, "ELF"));
        qputenv("APPIMAGE", QFile::encodeName(appImage));
        const bool written = XdgAutostartLoginItem().setEnabled(true, error);
        qunsetenv("APPIMAGE");
        QVERIFY(written);
        QCOMPARE(QString::fromUtf8(entryValue("Exec")), u'"' + appImage + u'"');
    }

    void reportsFailures()
    {
        TempXdgDirs dirs;
        XdgAutostartLoginItem item(u"/usr/bin/vesper"_s);
        QString error;

        // A file where the folder should be.
        const QString folder = dirs.configHome() + u"/autostart"_s;
        QVERIFY(writeFile(folder, "not a folder"));
        QVERIFY(!item.setEnabled(true, error));
        QVERIFY2(error.contains(folder), qPrintable(error));
        QVERIFY(!item.isEnabled());
        QVERIFY(QFile::remove(folder));

        // A folder where the entry should be: neither written nor removed, and not enabled.
        const QString path = XdgAutostartLoginItem::entryPath();
        QVERIFY(writeFile(path + u"/keep"_s, "x"));
        error.clear();
        QVERIFY(!item.setEnabled(true, error));
        QVERIFY2(error.contains(path), qPrintable(error));
        QVERIFY(!item.isEnabled());
        error.clear();
        QVERIFY(!item.setEnabled(false, error));
        QVERIFY2(error.contains(path), qPrintable(error));
        QVERIFY(QFile::exists(path + u"/keep"_s));
    }
};

QTEST_GUILESS_MAIN(TestLoginItem)
#include "test_loginitem.moc"
