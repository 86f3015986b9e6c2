#pragma once

#include "platform/GlobalShortcuts.h"

#include <QAbstractNativeEventFilter>
#include <QList>

#include <xcb/xcb.h>

// Global shortcuts as passive key grabs on the X root window, made on Qt's own connection so
// that the key events arrive through its native event filter. Every combination is grabbed
// with and without Caps Lock and Num Lock, so a lit lock key does not switch it off. A
// combination another client holds (BadAccess) is refused. Without an X11 connection (a
// Wayland session, a headless run) every combination is refused.
class XcbGlobalShortcuts : public GlobalShortcuts, public QAbstractNativeEventFilter
{
public:
    XcbGlobalShortcuts(xcb_connection_t *connection, xcb_window_t root, QObject *parent = nullptr);
    ~XcbGlobalShortcuts() override;

    QSet<quint32> rebind(const QMap<quint32, Hotkey> &bindings) override;

    bool nativeEventFilter(const QByteArray &eventType, void *message, qintptr *result) override;

private:
    struct Grab
    {
        xcb_keycode_t keycode;
        quint16 modifiers;
        quint32 identifier;
    };

    QList<quint16> lockVariants() const;
    void ungrab(xcb_keycode_t keycode, quint16 modifiers, const QList<quint16> &variants);
    bool handleKeyPress(const xcb_key_press_event_t &event);
    bool handleKeyRelease(const xcb_key_release_event_t &event);

    xcb_connection_t *m_connection;
    xcb_window_t m_root;
    QList<Grab> m_grabs;
    QList<quint16> m_grabbedVariants;

    // A held key repeats, either as more presses or as release-press pairs with one timestamp;
    // a shortcut fires once per press of its key.
    xcb_keycode_t m_heldKey = 0;
    xcb_keycode_t m_lastReleasedKey = 0;
    xcb_timestamp_t m_lastReleaseTime = 0;
};
