#include "FakeDesktopPortal.h"
#include "platform/linux/PortalAppearance.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
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
    // The portal answers Read with the value wrapped twice and announces changes wrapped once.
    void followsThePortal()
    {
        // No preference reads as light, and so does a value of the wrong type.
        QVERIFY(!PortalAppearance::colorSchemeIsDark(QVariant(kNoPreference)));
        QVERIFY(!PortalAppearance::colorSchemeIsDark(QVariant(u"1"_s)));
        FakeDesktopPortal portal(kDark);
        QVERIFY(portal.start());

        PortalAppearance appearance;
        QSignalSpy changed(&appearance, &DesktopAppearance::preferenceChanged);
        QVERIFY(!appearance.prefersDark());
        QTRY_VERIFY(appearance.prefersDark());
        QCOMPARE(changed.count(), 1);

        portal.changeColorScheme(kLight);
        QTRY_VERIFY(!appearance.prefersDark());
        QCOMPARE(changed.count(), 2);

        // Other settings, and a change that keeps the preference, say nothing. The dark change
        // after them arrives last, so once it is seen the others have been handled.
        portal.emitSettingChanged(u"org.freedesktop.appearance"_s, u"accent-color"_s, kDark);
        portal.emitSettingChanged(u"org.gnome.desktop.interface"_s, u"color-scheme"_s, kDark);
        portal.changeColorScheme(kNoPreference);
        portal.changeColorScheme(kDark);
        QTRY_VERIFY(appearance.prefersDark());
        QCOMPARE(changed.count(), 3);
    }

    void lightWithoutPortalUntilOneStarts()
    {
        const QDBusReply<QStringList> activatable
            = QDBusConnection::sessionBus().interface()->activatableServiceNames();
        if (activatable.value().contains(u"org.freedesktop.portal.Desktop"_s))
            QSKIP("this bus would start a real desktop portal");

        QElapsedTimer clock;
        clock.start();
        PortalAppearance appearance;
        QSignalSpy changed(&appearance, &DesktopAppearance::preferenceChanged);
        QVERIFY2(clock.elapsed() < 500, "asking the portal must not wait for it");
        QTest::qWait(300);
        QVERIFY(!appearance.prefersDark());
        QCOMPARE(changed.count(), 0);

        // A portal that starts later is asked then.
        FakeDesktopPortal portal(kDark);
        QVERIFY(portal.start());
        QTRY_VERIFY(appearance.prefersDark());
        QCOMPARE(changed.count(), 1);
    }

    void newerChangeWinsOverPendingRead()
    {
        FakeDesktopPortal portal(kDark);
        portal.holdReplies();
        QVERIFY(portal.start());

        PortalAppearance appearance;
        QSignalSpy changed(&appearance, &DesktopAppearance::preferenceChanged);
        QTRY_COMPARE(portal.readCount(), 1);
        // The desktop turns light while the answer "dark" is still on its way.
        portal.changeColorScheme(kLight);
        portal.releaseReplies();
        QTest::qWait(300);
        QVERIFY(!appearance.prefersDark());
        QCOMPARE(changed.count(), 0);
    }
};

QTEST_GUILESS_MAIN(TestAppearance)
#include "test_appearance.moc"
