#include "platform/linux/PortalAppearance.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusContext>
#include <QDBusPendingCallWatcher>
#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTest>

using namespace Qt::StringLiterals;

namespace {
enum ColorScheme : uint { NoPreference, Dark, Light };
const QString kPortal = u"org.freedesktop.portal.Desktop"_s;
const QString kPath = u"/org/freedesktop/portal/desktop"_s;
const QString kSettings = u"org.freedesktop.portal.Settings"_s;
} // namespace

// The portal's colour scheme on a bus connection of its own. While held, Read calls are answered
// only by releaseReplies(), with the value they would have had when they arrived.
class FakeDesktopPortal : public QObject, protected QDBusContext
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.portal.Settings")
public:
    explicit FakeDesktopPortal(uint colorScheme) : m_colorScheme(colorScheme) { }
    ~FakeDesktopPortal() override { QDBusConnection::disconnectFromBus(m_bus.name()); }

    bool start()
    {
        return m_bus.registerObject(kPath, this, QDBusConnection::ExportAllSlots)
            && m_bus.registerService(kPortal);
    }
    void changeColorScheme(uint colorScheme,
                           const QString &nameSpace = u"org.freedesktop.appearance"_s)
    {
        if (nameSpace == u"org.freedesktop.appearance"_s)
            m_colorScheme = colorScheme;
        m_bus.send(QDBusMessage::createSignal(kPath, kSettings, u"SettingChanged"_s)
                   << nameSpace << u"color-scheme"_s
                   << QVariant::fromValue(QDBusVariant(colorScheme)));
    }
    void releaseReplies()
    {
        holding = false;
        for (const auto &[call, colorScheme] : std::as_const(m_held))
            m_bus.send(call.createReply(QVariant::fromValue(answer(colorScheme))));
    }
    bool holding = false;
    int reads = 0;

public Q_SLOTS:
    QDBusVariant Read(const QString &, const QString &)
    {
        ++reads;
        if (holding) {
            setDelayedReply(true);
            m_held.append({ message(), m_colorScheme });
        }
        return answer(m_colorScheme);
    }

private:
    static QDBusVariant answer(uint colorScheme)
    {
        return QDBusVariant(QVariant::fromValue(QDBusVariant(colorScheme)));
    }

    QDBusConnection m_bus = QDBusConnection::connectToBus(QDBusConnection::SessionBus,
                                                          u"fake-portal-%1"_s.arg(quintptr(this)));
    uint m_colorScheme;
    QList<QPair<QDBusMessage, uint>> m_held;
};

class TestAppearance : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void followsThePortal()
    {
        // A value of the wrong type reads as light.
        QVERIFY(!PortalAppearance::colorSchemeIsDark(QVariant(u"1"_s)));
        if (QDBusConnection::sessionBus().interface()->activatableServiceNames().value().contains(
                kPortal))
            QSKIP("this bus would start a real desktop portal");

        // Without a portal: light, and asking does not wait for one.
        QElapsedTimer clock;
        clock.start();
        PortalAppearance appearance;
        QSignalSpy changed(&appearance, &DesktopAppearance::preferenceChanged);
        QVERIFY2(clock.elapsed() < 500, "asking the portal must not wait for it");
        QVERIFY(!appearance.prefersDark());

        // A portal that starts later is asked then.
        FakeDesktopPortal portal(Dark);
        QVERIFY(portal.start());
        QTRY_VERIFY(appearance.prefersDark());
        QCOMPARE(changed.count(), 1);

        // Another namespace's setting, and a change that keeps the preference, say nothing.
        portal.changeColorScheme(Light);
        portal.changeColorScheme(Dark, u"org.gnome.desktop.interface"_s);
        portal.changeColorScheme(NoPreference);
        portal.changeColorScheme(Dark);
        QTRY_COMPARE(changed.count(), 3);
    }

    void aChangeWinsOverTheFirstAnswer()
    {
        FakeDesktopPortal portal(Dark);
        portal.holding = true;
        QVERIFY(portal.start());
        PortalAppearance appearance;
        QSignalSpy changed(&appearance, &DesktopAppearance::preferenceChanged);
        QTRY_COMPARE(portal.reads, 1);
        // The desktop turns light while the answer "dark" is on its way.
        portal.changeColorScheme(Light);
        portal.releaseReplies();
        // A Read sent now is answered after the held one, so once it is back that one is handled.
        QDBusPendingCallWatcher probe(QDBusConnection::sessionBus().asyncCall(
            QDBusMessage::createMethodCall(kPortal, kPath, kSettings, u"Read"_s)
            << u"org.freedesktop.appearance"_s << u"color-scheme"_s));
        QVERIFY(QSignalSpy(&probe, &QDBusPendingCallWatcher::finished).wait());
        QVERIFY(!appearance.prefersDark());
        QCOMPARE(changed.count(), 0);
    }
};

QTEST_GUILESS_MAIN(TestAppearance)
#include "test_appearance.moc"
