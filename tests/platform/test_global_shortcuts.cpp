#include "models/Hotkey.h"
#include "platform/linux/X11KeyTranslation.h"
#include "platform/linux/XcbGlobalShortcuts.h"

#include <QGuiApplication>
#include <QProcess>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTest>

using namespace Qt::StringLiterals;

namespace {
constexpr quint32 kMarker = 99;

// Another application holding shortcuts, on an X connection of its own.
struct OtherClient
{
    xcb_connection_t *connection = xcb_connect(nullptr, nullptr);
    std::optional<XcbGlobalShortcuts> shortcuts {
        std::in_place, connection, xcb_setup_roots_iterator(xcb_get_setup(connection)).data->root
    };
    ~OtherClient()
    {
        shortcuts.reset();
        xcb_disconnect(connection);
    }
};

QMap<quint32, Hotkey> defaults()
{
    QMap<quint32, Hotkey> bindings;
    for (const HotkeyAction action : HotkeyActions::all())
        bindings.insert(HotkeyActions::identifier(action), HotkeyActions::defaultHotkey(action));
    return bindings;
}
} // namespace

// Key grabs on a real X server (the test runs under Xvfb), pressed with xdotool.
class TestGlobalShortcuts : public QObject
{
    Q_OBJECT

    std::unique_ptr<XcbGlobalShortcuts> m_shortcuts;

    // Binds the shortcuts and ctrl+alt+shift+z as a marker; returns the identifiers refused.
    QSet<quint32> rebind(QMap<quint32, Hotkey> bindings)
    {
        bindings.insert(kMarker, Hotkey { 6, Hotkey::DefaultModifiers | Hotkey::Shift });
        return m_shortcuts->rebind(bindings);
    }

    // The identifiers reported while xdotool runs the commands; the marker pressed last ends it.
    QList<quint32> pressed(const QStringList &commands)
    {
        QSignalSpy activated(m_shortcuts.get(), &GlobalShortcuts::activated);
        if (QProcess::execute(u"xdotool"_s,
                              commands + QStringList { u"key"_s, u"ctrl+alt+shift+z"_s }))
            return { 0 };
        QList<quint32> identifiers;
        while (identifiers.value(identifiers.size() - 1) != kMarker) {
            if (activated.isEmpty() && !activated.wait(5000))
                return { 0 };
            identifiers << activated.takeFirst().at(0).toUInt();
        }
        return identifiers.mid(0, identifiers.size() - 1);
    }

private Q_SLOTS:
    void initTestCase()
    {
        if (!qGuiApp->nativeInterface<QNativeInterface::QX11Application>())
            QSKIP("needs an X11 display");
        if (QStandardPaths::findExecutable(u"xdotool"_s).isEmpty())
            QSKIP("needs xdotool");
    }

    void init()
    {
        xcb_connection_t *connection
            = qGuiApp->nativeInterface<QNativeInterface::QX11Application>()->connection();
        m_shortcuts = std::make_unique<XcbGlobalShortcuts>(
            connection, xcb_setup_roots_iterator(xcb_get_setup(connection)).data->root);
    }

    void everyNamedKeyHasAKeysym()
    {
        for (quint32 code = 0; code < 128; ++code) {
            const bool named = !Hotkey::keyName(code).startsWith(u"Key"_s);
            QVERIFY2(X11KeyTranslation::keysym(code).has_value() == named,
                     qPrintable(Hotkey::keyName(code)));
        }
    }

    void pressedShortcutsReportTheirIdentifier()
    {
        QCOMPARE(rebind(defaults()), QSet<quint32>());
        // Other modifiers are not the shortcut; a lit Num Lock or Caps Lock does not switch it off.
        QCOMPARE(pressed({ u"key"_s, u"ctrl+alt+shift+p"_s, u"Num_Lock"_s, u"ctrl+alt+p"_s,
                           u"Num_Lock"_s, u"Caps_Lock"_s, u"ctrl+alt+l"_s, u"Caps_Lock"_s }),
                 (QList<quint32> { 1, 4 }));
        // Held for 0.8 s, the key repeats (the server starts after 660 ms): one action.
        QCOMPARE(pressed({ u"keydown"_s, u"ctrl+alt+p"_s, u"sleep"_s, u"0.8"_s, u"keyup"_s,
                           u"ctrl+alt+p"_s }),
                 QList<quint32> { 1 });
    }

    void refusedCombinations()
    {
        OtherClient other;
        QCOMPARE(other.shortcuts->rebind({ { 1, Hotkey { 8, Hotkey::DefaultModifiers } } }),
                 QSet<quint32>());
        // Held by another client: refused, and the actions after it are still bound.
        QCOMPARE(rebind(defaults()), QSet<quint32> { 6 });
        QCOMPARE(pressed({ u"key"_s, u"ctrl+alt+k"_s }), QList<quint32> { 5 });

        // The same combination for two actions, or a key with no X name: refused.
        QCOMPARE(rebind({ { 1, HotkeyActions::defaultHotkey(HotkeyAction::PlayPause) },
                          { 2, HotkeyActions::defaultHotkey(HotkeyAction::PlayPause) },
                          { 3, Hotkey { 105, Hotkey::DefaultModifiers } } }),
                 (QSet<quint32> { 2, 3 }));
    }

    void rebindingReplacesEveryGrab()
    {
        const Hotkey f12 { 111, Hotkey::Command | Hotkey::Shift };
        rebind(defaults());
        QCOMPARE(rebind({ { 1, f12 } }), QSet<quint32>());
        QCOMPARE(pressed({ u"key"_s, u"ctrl+alt+p"_s, u"super+shift+F12"_s }),
                 QList<quint32> { 1 });
        // Given back on the way out, every lock-key variant included.
        m_shortcuts.reset();
        QCOMPARE(OtherClient().shortcuts->rebind({ { 1, f12 } }), QSet<quint32>());
    }
};

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM", "xcb");
    QGuiApplication application(argc, argv);
    TestGlobalShortcuts test;
    return QTest::qExec(&test, argc, argv);
}

#include "test_global_shortcuts.moc"
