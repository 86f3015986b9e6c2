#include "models/Hotkey.h"
#include "platform/linux/X11KeyTranslation.h"
#include "platform/linux/XcbGlobalShortcuts.h"

#include <QGuiApplication>
#include <QProcess>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTest>

#include <X11/keysym.h>

#include <cstdlib>

using namespace Qt::StringLiterals;

namespace {
// A second X client, as another application holding shortcuts would be.
class OtherClient
{
public:
    OtherClient() : m_connection(xcb_connect(nullptr, nullptr)) { }
    ~OtherClient() { disconnect(); }

    bool grab(xcb_keysym_t keysym, quint16 modifiers)
    {
        const xcb_setup_t *setup = xcb_get_setup(m_connection);
        const xcb_window_t root = xcb_setup_roots_iterator(setup).data->root;
        const xcb_keycode_t keycode = keycodeOf(keysym);
        xcb_generic_error_t *error
            = xcb_request_check(m_connection,
                                xcb_grab_key_checked(m_connection, false, root, modifiers, keycode,
                                                     XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC));
        std::free(error);
        return keycode != 0 && !error;
    }

    void disconnect()
    {
        if (!m_connection)
            return;
        xcb_disconnect(m_connection);
        m_connection = nullptr;
    }

private:
    xcb_keycode_t keycodeOf(xcb_keysym_t keysym)
    {
        const xcb_setup_t *setup = xcb_get_setup(m_connection);
        xcb_get_keyboard_mapping_reply_t *reply = xcb_get_keyboard_mapping_reply(
            m_connection,
            xcb_get_keyboard_mapping(m_connection, setup->min_keycode,
                                     setup->max_keycode - setup->min_keycode + 1),
            nullptr);
        xcb_keycode_t found = 0;
        const xcb_keysym_t *syms = xcb_get_keyboard_mapping_keysyms(reply);
        for (int i = 0; i < xcb_get_keyboard_mapping_keysyms_length(reply) && !found; ++i) {
            if (syms[i] == keysym)
                found = xcb_keycode_t(setup->min_keycode + i / reply->keysyms_per_keycode);
        }
        std::free(reply);
        return found;
    }

    xcb_connection_t *m_connection;
};
} // namespace

// Key grabs on a real X server (the test runs under Xvfb), pressed with xdotool.
class TestGlobalShortcuts : public QObject
{
    Q_OBJECT

    xcb_connection_t *m_connection = nullptr;
    xcb_window_t m_root = XCB_NONE;
    std::unique_ptr<XcbGlobalShortcuts> m_shortcuts;

    static constexpr quint32 kMarker = 99;

    static void xdotool(const QStringList &arguments)
    {
        QCOMPARE(QProcess::execute(u"xdotool"_s, arguments), 0);
    }

    // Binds the given shortcuts and ctrl+alt+shift+z as a marker; returns those refused.
    QSet<quint32> rebind(QMap<quint32, Hotkey> bindings)
    {
        bindings.insert(kMarker, Hotkey { 6, Hotkey::DefaultModifiers | Hotkey::Shift });
        return m_shortcuts->rebind(bindings);
    }

    // The identifiers reported while xdotool runs the commands ("key ctrl+alt+p …"). Key
    // events reach the filter through the event loop, in order: the marker pressed last ends it.
    QList<quint32> pressed(const QStringList &commands)
    {
        QSignalSpy activated(m_shortcuts.get(), &GlobalShortcuts::activated);
        xdotool(commands + QStringList { u"key"_s, u"ctrl+alt+shift+z"_s });
        QList<quint32> identifiers;
        while (identifiers.value(identifiers.size() - 1) != kMarker) {
            if (activated.isEmpty() && !activated.wait(5000))
                return { 0 };
            identifiers << activated.takeFirst().at(0).toUInt();
        }
        return identifiers.mid(0, identifiers.size() - 1);
    }

    static QMap<quint32, Hotkey> defaults()
    {
        QMap<quint32, Hotkey> bindings;
        for (const HotkeyAction action : HotkeyActions::all())
            bindings.insert(HotkeyActions::identifier(action),
                            HotkeyActions::defaultHotkey(action));
        return bindings;
    }

private Q_SLOTS:
    void initTestCase()
    {
        auto *x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
        if (!x11)
            QSKIP("needs an X11 display");
        if (QStandardPaths::findExecutable(u"xdotool"_s).isEmpty())
            QSKIP("needs xdotool");
        m_connection = x11->connection();
        m_root = xcb_setup_roots_iterator(xcb_get_setup(m_connection)).data->root;
    }

    void init() { m_shortcuts = std::make_unique<XcbGlobalShortcuts>(m_connection, m_root); }
    void cleanup() { m_shortcuts.reset(); }

    void everyNamedKeyHasAKeysym()
    {
        for (quint32 code = 0; code < 128; ++code) {
            const bool named = !Hotkey::keyName(code).startsWith(u"Key"_s);
            QVERIFY2(X11KeyTranslation::keysym(code).has_value() == named,
                     qPrintable(Hotkey::keyName(code)));
        }
        QCOMPARE(X11KeyTranslation::modifierMask(Hotkey::DefaultModifiers),
                 XCB_MOD_MASK_CONTROL | XCB_MOD_MASK_1);
        QCOMPARE(X11KeyTranslation::modifierMask(Hotkey::Command | Hotkey::Shift),
                 XCB_MOD_MASK_4 | XCB_MOD_MASK_SHIFT);
    }

    void pressedShortcutsReportTheirIdentifier()
    {
        QCOMPARE(rebind(defaults()), QSet<quint32>());
        // Other modifiers, or fewer, are not the shortcut.
        QCOMPARE(pressed({ u"key"_s, u"ctrl+alt+p"_s, u"ctrl+alt+Right"_s, u"ctrl+alt+c"_s,
                           u"ctrl+alt+shift+p"_s, u"alt+p"_s }),
                 (QList<quint32> { 1, 2, 6 }));
        // A lit Num Lock or Caps Lock does not switch a shortcut off.
        QCOMPARE(pressed({ u"key"_s, u"Num_Lock"_s, u"ctrl+alt+p"_s, u"Num_Lock"_s, u"Caps_Lock"_s,
                           u"ctrl+alt+l"_s, u"Caps_Lock"_s }),
                 (QList<quint32> { 1, 4 }));
        // Held for 0.8 s, the key repeats (the server starts after 660 ms): one action.
        QCOMPARE(pressed({ u"keydown"_s, u"ctrl+alt+p"_s, u"sleep"_s, u"0.8"_s, u"keyup"_s,
                           u"ctrl+alt+p"_s }),
                 QList<quint32> { 1 });
    }

    void refusedCombinations()
    {
        OtherClient other;
        QVERIFY(other.grab(XK_c, XCB_MOD_MASK_CONTROL | XCB_MOD_MASK_1));
        // Held by another client: refused, and the actions after it are still bound.
        QCOMPARE(rebind(defaults()), QSet<quint32> { 6 });
        QCOMPARE(pressed({ u"key"_s, u"ctrl+alt+k"_s }), QList<quint32> { 5 });
        // Once the other client's connection is closed, a rebind gets it.
        other.disconnect();
        QTRY_COMPARE(rebind(defaults()), QSet<quint32>());
        QCOMPARE(pressed({ u"key"_s, u"ctrl+alt+c"_s }), QList<quint32> { 6 });

        // The same combination for two actions, or a key with no X name: refused.
        QCOMPARE(rebind({ { 1, HotkeyActions::defaultHotkey(HotkeyAction::PlayPause) },
                          { 2, HotkeyActions::defaultHotkey(HotkeyAction::PlayPause) },
                          { 3, Hotkey { 105, Hotkey::DefaultModifiers } } }),
                 (QSet<quint32> { 2, 3 }));
    }

    void rebindingReplacesEveryGrab()
    {
        rebind(defaults());
        QCOMPARE(rebind({ { 1, Hotkey { 111, Hotkey::Command | Hotkey::Shift } } }),
                 QSet<quint32>());
        QCOMPARE(pressed({ u"key"_s, u"ctrl+alt+p"_s, u"super+shift+F12"_s }),
                 QList<quint32> { 1 });
        // Given back on the way out, Num Lock variant included.
        m_shortcuts.reset();
        OtherClient other;
        QVERIFY(other.grab(XK_F12, XCB_MOD_MASK_4 | XCB_MOD_MASK_SHIFT | XCB_MOD_MASK_2));
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
