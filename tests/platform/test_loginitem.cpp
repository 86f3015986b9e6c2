#include "TempXdgDirs.h"
#include "platform/linux/XdgAutostartLoginItem.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTest>

using namespace Qt::StringLiterals;

namespace {
bool writeFile(const QString &path, const QByteArray &contents)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(contents) == contents.size();
}

QByteArray entry()
{
    QFile file(XdgAutostartLoginItem::entryPath());
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}
} // namespace

class TestLoginItem : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void readsAndQuotesAsDesktopFilesDo()
    {
        // The last value of a key in the first [Desktop Entry] group counts.
        const QByteArray head = "[Desktop Entry]\nType=Application\nExec=/usr/bin/vesper\n";
        const QList<QPair<QByteArray, bool>> entries {
            { head, true },
            { head + "X-GNOME-Autostart-enabled=false\n", false },
            { head + "Hidden = true \n", false },
            { QByteArray(head + "Hidden=true\n").replace("\n", "\r\n"), false },
            { head + "Hidden=true\nHidden=false\n", true },
            { head + "[Desktop Action quit]\nHidden=true\n", true },
            { "Type=Application\nExec=vesper\n", false },
        };
        for (const auto &[text, enabled] : entries)
            QVERIFY2(XdgAutostartLoginItem::entryEnablesAutostart(text) == enabled, text.data());

        // As written in the file: the string escapes apply on top of the quoting of arguments.
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
        // An entry another hand disabled reads as off; enabling writes it anew.
        QVERIFY(writeFile(path, "[Desktop Entry]\nType=Application\nExec=/old\nHidden=true\n"));
        XdgAutostartLoginItem item(u"/opt/Vesper Build/vesper"_s);
        QVERIFY(!item.isEnabled());
        QString error;
        QVERIFY(item.setEnabled(true, error));
        QVERIFY(item.isEnabled());
        QVERIFY(entry().startsWith("[Desktop Entry]\n"));
        QVERIFY(entry().contains("\nExec=\"/opt/Vesper Build/vesper\"\n"));
        QVERIFY(!entry().contains("Hidden"));
        // Saved through a temporary file that is gone now.
        QCOMPARE(QDir(dirs.configHome() + u"/autostart"_s).entryList(QDir::Files),
                 QStringList { u"vesper.desktop"_s });
        QVERIFY(item.setEnabled(false, error));
        QVERIFY(!QFile::exists(path));
        QVERIFY(item.setEnabled(false, error));
        QVERIFY(error.isEmpty());

        // An AppImage runs from a mount point that is gone after it exits; its file stays.
        const QString appImage = dirs.root() + u"/Vesper 1.0.AppImage"_s;
        QVERIFY(writeFile(appImage, "ELF"));
        qputenv("APPIMAGE", QFile::encodeName(appImage));
        QVERIFY(XdgAutostartLoginItem().setEnabled(true, error));
        qunsetenv("APPIMAGE");
        QVERIFY(entry().contains(QByteArray("\nExec=\"" + QFile::encodeName(appImage) + "\"\n")));
    }

    void reportsFailures()
    {
        TempXdgDirs dirs;
        XdgAutostartLoginItem item(u"/usr/bin/vesper"_s);
        QString error;
        // A folder where the entry should be: neither written nor removed, and not enabled.
        const QString path = XdgAutostartLoginItem::entryPath();
        QVERIFY(writeFile(path + u"/keep"_s, "x"));
        QVERIFY(!item.setEnabled(true, error));
        QVERIFY2(error.contains(path), qPrintable(error));
        QVERIFY(!item.isEnabled());
        QVERIFY(!item.setEnabled(false, error));
        QVERIFY(QFile::exists(path + u"/keep"_s));
    }
};

QTEST_GUILESS_MAIN(TestLoginItem)
#include "test_loginitem.moc"
