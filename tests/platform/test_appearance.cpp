#include "FakeDesktopPortal.h"
#include "platform/linux/PortalAppearance.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusPendingCallWatcher>
#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTest>

using namespace Qt::StringLiterals;

namespace {
constexpr uint kNoPreference = 0;
constexpr uint kDark = 1;
constexpr uint kLight = 2;
} // namespace

class TestAppearance : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void followsThePortal()
    {
        // No preference reads as light, and so does a value of the wrong type.
        QVERIFY(!PortalAppearance::colorSchemeIsDark(QVariant(kNoPreference)));
        QVERIFY(!PortalAppearance::colorSchemeIsDark(QVariant(u"1"_s)));
        if (QDBusConnection::sessionBus().interface()->activatableServiceNames().value().contains(
                u"org.freedesktop.portal.Desktop"_s))
            QSKIP("this bus would start a real desktop portal");

        // Without a portal: light, and asking does not wait for one.
        QElapsedTimer clock;
        clock.start();
        PortalAppearance appearance;
        QSignalSpy changed(&appearance, &DesktopAppearance::preferenceChanged);
        QVERIFY2(clock.elapsed() < 500, "asking the portal must not wait for it");
        QVERIFY(!appearance.prefersDark());

        // A portal that starts later is asked then.
        FakeDesktopPortal portal(kDark);
        QVERIFY(portal.start());
        QTRY_VERIFY(appearance.prefersDark());
        QCOMPARE(changed.count(), 1);

        // Other settings, and a change that keeps the preference, say nothing. The last change
        // arrives last, so once it is seen the others have been handled.
        portal.changeColorScheme(kLight);
        portal.emitSettingChanged(u"org.freedesktop.appearance"_s, u"accent-color"_s, kDark);
        portal.emitSettingChanged(u"org.gnome.desktop.interface"_s, u"color-scheme"_s, kDark);
        portal.changeColorScheme(kNoPreference);
        portal.changeColorScheme(kDark);
        QTRY_COMPARE(changed.count(), 3);
        QVERIFY(appearance.prefersDark());
    }

    void aChangeWinsOverTheFirstAnswer()
    {
        FakeDesktopPortal portal(kDark);
        portal.holdReplies();
        QVERIFY(portal.start());
        PortalAppearance appearance;
        QSignalSpy changed(&appearance, &DesktopAppearance::preferenceChanged);
        QTRY_COMPARE(portal.readCount(), 1);
        // The desktop turns light while the answer "dark" is on its way.
        portal.changeColorScheme(kLight);
        portal.releaseReplies();
        // A Read sent now is answered after the held one, so once it is back that one is handled.
        QDBusPendingCallWatcher probe(QDBusConnection::sessionBus().asyncCall(
            QDBusMessage::createMethodCall(u"org.freedesktop.portal.Desktop"_s,
                                           u"/org/freedesktop/portal/desktop"_s,
                                           u"org.freedesktop.portal.Settings"_s, u"Read"_s)
            << u"org.freedesktop.appearance"_s << u"color-scheme"_s));
        QVERIFY(QSignalSpy(&probe, &QDBusPendingCallWatcher::finished).wait());
        QVERIFY(!appearance.prefersDark());
        QCOMPARE(changed.count(), 0);
    }
};

QTEST_GUILESS_MAIN(TestAppearance)
#include "test_appearance.moc"
