// Runs on an X display with a private session bus, where no panel is there at first.
#include "LogCapture.h"
#include "ui/TrayIcon.h"

#include <QDBusConnection>
#include <QMenu>
#include <QTest>
#include <QThread>

#include <atomic>

using namespace Qt::StringLiterals;

namespace {
// A desktop panel's StatusNotifierWatcher, with a host, counting the items that register. It
// answers from a thread of its own, as the panel would from its process: Qt registers an item
// with a blocking call.
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
    QStringList items() const { return {}; }
    int registrations() const { return m_registrations; }

public Q_SLOTS:
    Q_SCRIPTABLE void RegisterStatusNotifierItem(const QString &) { ++m_registrations; }
    Q_SCRIPTABLE void RegisterStatusNotifierHost(const QString &) { }

private:
    std::atomic<int> m_registrations = 0;
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

        QThread panel;
        panel.start();
        Watcher watcher;
        watcher.moveToThread(&panel);
        QDBusConnection bus = QDBusConnection::sessionBus();
        QVERIFY(bus.registerObject(u"/StatusNotifierWatcher"_s, &watcher,
                                   QDBusConnection::ExportAllContents));
        QVERIFY(bus.registerService(u"org.kde.StatusNotifierWatcher"_s));
        QTRY_VERIFY(tray.isShown());
        QTRY_COMPARE(watcher.registrations(), 1);
        bus.unregisterObject(u"/StatusNotifierWatcher"_s);
        panel.quit();
        panel.wait();
    }
};

QTEST_MAIN(TestTray)
#include "test_tray.moc"
