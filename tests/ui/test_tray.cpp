// Runs on an X display with a private session bus, where no panel is there at first.
#include "LogCapture.h"
#include "ui/TrayIcon.h"

#include <QDBusConnection>
#include <QMenu>
#include <QTest>

using namespace Qt::StringLiterals;

namespace {
// A desktop panel's StatusNotifierWatcher, with a host, recording the items that register.
class Watcher : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierWatcher")
    Q_PROPERTY(bool IsStatusNotifierHostRegistered READ isHostRegistered)
    Q_PROPERTY(int ProtocolVersion READ protocolVersion)
    Q_PROPERTY(QStringList RegisteredStatusNotifierItems READ items)

public:
    bool isHostRegistered() const { return true; }
    int protocolVersion() const { return 0; }
    QStringList items() const { return m_items; }

public Q_SLOTS:
    Q_SCRIPTABLE void RegisterStatusNotifierItem(const QString &service)
    {
        m_items.append(service);
    }
    Q_SCRIPTABLE void RegisterStatusNotifierHost(const QString &) { }

private:
    QStringList m_items;
};
} // namespace

class TestTray : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // Started before the panel: no icon, one line, and nothing asked of Qt that would make it
    // settle on the old tray; the icon registers as a StatusNotifierItem once a watcher comes.
    void waitsForTheDesktopsPanel()
    {
        QMenu menu;
        LogCapture log;
        TrayIcon tray(menu, false);
        QVERIFY(!tray.isShown());
        QCOMPARE(log.lines().filter(u"Vesper: no system tray"_s).size(), 1);

        Watcher watcher;
        QDBusConnection bus = QDBusConnection::sessionBus();
        QVERIFY(bus.registerObject(u"/StatusNotifierWatcher"_s, &watcher,
                                   QDBusConnection::ExportAllContents));
        QVERIFY(bus.registerService(u"org.kde.StatusNotifierWatcher"_s));
        QTRY_VERIFY(tray.isShown());
        QTRY_COMPARE(watcher.items().size(), 1);
    }
};

QTEST_MAIN(TestTray)
#include "test_tray.moc"
