#include "TempXdgDirs.h"
#include "platform/linux/XdgAutostartLoginItem.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTest>

using namespace Qt::StringLiterals;

namespace {
QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool writeFile(const QString &path, const QByteArray &contents)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(contents) == contents.size();
}

// The value of key in the entry as written, or a null array.
QByteArray entryValue(const QByteArray &entry, const QByteArray &key)
{
    const QList<QByteArray> lines = entry.split('\n');
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
    void readsWhetherAnEntryStartsVesper_data();
    void readsWhetherAnEntryStartsVesper();
    void quotesExec_data();
    void quotesExec();
    void enablesAndDisables();
    void enablingOverridesADisabledEntry();
    void launchesTheRunningBinary();
    void reportsFailures();
};

void TestLoginItem::readsWhetherAnEntryStartsVesper_data()
{
    QTest::addColumn<QByteArray>("entry");
    QTest::addColumn<bool>("enabled");
    const QByteArray head
        = "[Desktop Entry]\nType=Application\nName=Vesper\nExec=/usr/bin/vesper\n";
    QTest::newRow("plain entry") << head << true;
    QTest::newRow("hidden") << head + "Hidden=true\n" << false;
    QTest::newRow("GNOME disabled") << head + "X-GNOME-Autostart-enabled=false\n" << false;
    QTest::newRow("spaces around the equals sign") << head + "Hidden = true \n" << false;
    QTest::newRow("CRLF line ends")
        << QByteArray(head + "Hidden=true\n").replace("\n", "\r\n") << false;
    QTest::newRow("last repeated key counts") << head + "Hidden=true\nHidden=false\n" << true;
    QTest::newRow("key of another group")
        << head + "[Desktop Action quit]\nHidden=true\nX-GNOME-Autostart-enabled=false\n"
        << true;
    QTest::newRow("second Desktop Entry group ignored") << head
            + "[Extra]\n[Desktop Entry]\nHidden=true\n" << true;
    QTest::newRow("no Desktop Entry group")
        << QByteArray("Type=Application\nExec=vesper\n") << false;
}

void TestLoginItem::readsWhetherAnEntryStartsVesper()
{
    QFETCH(QByteArray, entry);
    QFETCH(bool, enabled);
    QCOMPARE(XdgAutostartLoginItem::entryEnablesAutostart(entry), enabled);

    TempXdgDirs dirs;
    QVERIFY(writeFile(XdgAutostartLoginItem::entryPath(), entry));
    QCOMPARE(XdgAutostartLoginItem().isEnabled(), enabled);
}

void TestLoginItem::quotesExec_data()
{
    // Expected values as they appear in the file: the string escapes of desktop entries apply
    // on top of the quoting of Exec arguments.
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("exec");
    QTest::newRow("plain") << u"/usr/bin/vesper"_s << u"/usr/bin/vesper"_s;
    QTest::newRow("space") << u"/opt/My Apps/vesper"_s << u"\"/opt/My Apps/vesper\""_s;
    QTest::newRow("dollar") << u"/home/a$b/vesper"_s << u"\"/home/a\\\\$b/vesper\""_s;
    QTest::newRow("backslash") << u"/x\\y/vesper"_s << u"\"/x\\\\\\\\y/vesper\""_s;
    QTest::newRow("double quote") << u"/x/a\"b"_s << u"\"/x/a\\\\\"b\""_s;
    QTest::newRow("percent") << u"/x/100%/vesper"_s << u"/x/100%%/vesper"_s;
    QTest::newRow("newline") << u"/x/a\nb"_s << u"\"/x/a\\nb\""_s;
}

void TestLoginItem::quotesExec()
{
    QFETCH(QString, path);
    QFETCH(QString, exec);
    QCOMPARE(XdgAutostartLoginItem::execArgument(path), exec);
}

void TestLoginItem::enablesAndDisables()
{
    TempXdgDirs dirs;
    const QString path = dirs.configHome() + u"/autostart/vesper.desktop"_s;
    QCOMPARE(XdgAutostartLoginItem::entryPath(), path);

    XdgAutostartLoginItem item(u"/opt/Vesper Build/vesper"_s);
    QVERIFY(!item.isEnabled());
    QString error;
    QVERIFY(item.setEnabled(true, error));
    QVERIFY(error.isEmpty());
    QVERIFY(item.isEnabled());

    const QByteArray entry = readFile(path);
    QVERIFY(entry.startsWith("[Desktop Entry]\n"));
    QCOMPARE(entryValue(entry, "Type"), "Application");
    QCOMPARE(entryValue(entry, "Name"), "Vesper");
    QCOMPARE(entryValue(entry, "Exec"), "\"/opt/Vesper Build/vesper\"");
    QCOMPARE(entryValue(entry, "Icon"), "vesper");
    QCOMPARE(entryValue(entry, "X-GNOME-Autostart-enabled"), "true");
    QVERIFY(entryValue(entry, "Hidden").isNull());
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

void TestLoginItem::enablingOverridesADisabledEntry()
{
    TempXdgDirs dirs;
    const QString path = XdgAutostartLoginItem::entryPath();
    QVERIFY(writeFile(path, "[Desktop Entry]\nType=Application\nExec=/old/vesper\nHidden=true\n"));
    XdgAutostartLoginItem item(u"/usr/bin/vesper"_s);
    QVERIFY(!item.isEnabled());
    QString error;
    QVERIFY(item.setEnabled(true, error));
    QVERIFY(item.isEnabled());
    QCOMPARE(entryValue(readFile(path), "Exec"), "/usr/bin/vesper");
}

void TestLoginItem::launchesTheRunningBinary()
{
    TempXdgDirs dirs;
    QString error;
    QVERIFY(XdgAutostartLoginItem().setEnabled(true, error));
    QCOMPARE(QString::fromUtf8(entryValue(readFile(XdgAutostartLoginItem::entryPath()), "Exec")),
             XdgAutostartLoginItem::execArgument(QCoreApplication::applicationFilePath()));

    // An AppImage runs from a mount point that is gone after it exits; its file stays.
    const QString appImage = dirs.root() + u"/Vesper 1.0.AppImage"_s;
    QVERIFY(writeFile(appImage, "ELF"));
    qputenv("APPIMAGE", QFile::encodeName(appImage));
    const bool written = XdgAutostartLoginItem().setEnabled(true, error);
    qunsetenv("APPIMAGE");
    QVERIFY(written);
    QCOMPARE(QString::fromUtf8(entryValue(readFile(XdgAutostartLoginItem::entryPath()), "Exec")),
             u'"' + appImage + u'"');
}

void TestLoginItem::reportsFailures()
{
    TempXdgDirs dirs;
    XdgAutostartLoginItem item(u"/usr/bin/vesper"_s);
    QString error;

    // A file where the folder should be.
    QVERIFY(writeFile(dirs.configHome() + u"/autostart"_s, "not a folder"));
    QVERIFY(!item.setEnabled(true, error));
    QVERIFY2(error.contains(dirs.configHome() + u"/autostart"_s), qPrintable(error));
    QVERIFY(!item.isEnabled());
    QVERIFY(QFile::remove(dirs.configHome() + u"/autostart"_s));

    // A folder where the entry should be: neither written nor removed, and not enabled.
    const QString path = XdgAutostartLoginItem::entryPath();
    QVERIFY(QDir().mkpath(path));
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

QTEST_GUILESS_MAIN(TestLoginItem)
#include "test_loginitem.moc"
