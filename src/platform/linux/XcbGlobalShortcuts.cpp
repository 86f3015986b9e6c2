#include "platform/linux/XcbGlobalShortcuts.h"

#include "platform/linux/X11KeyTranslation.h"

#include <QCoreApplication>

#include <X11/keysym.h>

#include <algorithm>
#include <cstdlib>
#include <memory>

namespace {

// The modifiers a binding is made of; lock keys and mouse buttons in an event's state are not.
constexpr quint16 kBindableModifiers
    = XCB_MOD_MASK_SHIFT | XCB_MOD_MASK_CONTROL | XCB_MOD_MASK_1 | XCB_MOD_MASK_4;

template<typename Reply> using ReplyPtr = std::unique_ptr<Reply, decltype(&std::free)>;

template<typename Reply> ReplyPtr<Reply> own(Reply *reply)
{
    return ReplyPtr<Reply>(reply, &std::free);
}

// The current keyboard mapping: which keysyms each keycode produces.
class KeyboardMapping
{
public:
    explicit KeyboardMapping(xcb_connection_t *connection)
        : m_minKeycode(xcb_get_setup(connection)->min_keycode),
          m_reply(own(xcb_get_keyboard_mapping_reply(
              connection,
              xcb_get_keyboard_mapping(connection, m_minKeycode,
                                       xcb_get_setup(connection)->max_keycode - m_minKeycode + 1),
              nullptr)))
    {
    }

    // The keycodes that produce keysym, unshifted ones first.
    QList<xcb_keycode_t> keycodes(xcb_keysym_t keysym) const
    {
        QList<xcb_keycode_t> found;
        if (!m_reply)
            return found;
        const xcb_keysym_t *syms = xcb_get_keyboard_mapping_keysyms(m_reply.get());
        const int perKeycode = m_reply->keysyms_per_keycode;
        const int count = xcb_get_keyboard_mapping_keysyms_length(m_reply.get());
        for (int column = 0; column < perKeycode; ++column) {
            for (int index = column; index < count; index += perKeycode) {
                const auto keycode = xcb_keycode_t(m_minKeycode + index / perKeycode);
                if (syms[index] == keysym && !found.contains(keycode))
                    found << keycode;
            }
        }
        return found;
    }

private:
    xcb_keycode_t m_minKeycode;
    ReplyPtr<xcb_get_keyboard_mapping_reply_t> m_reply;
};

// The modifier bit Num Lock is mapped to, usually Mod2; 0 when no key is Num Lock.
quint16 numLockMask(xcb_connection_t *connection, const KeyboardMapping &mapping)
{
    const QList<xcb_keycode_t> numLockKeys = mapping.keycodes(XK_Num_Lock);
    const auto reply = own(
        xcb_get_modifier_mapping_reply(connection, xcb_get_modifier_mapping(connection), nullptr));
    if (!reply || numLockKeys.isEmpty())
        return 0;
    const xcb_keycode_t *keycodes = xcb_get_modifier_mapping_keycodes(reply.get());
    const int perModifier = reply->keycodes_per_modifier;
    for (int modifier = 0; modifier < 8; ++modifier) {
        for (int i = 0; i < perModifier; ++i) {
            if (numLockKeys.contains(keycodes[modifier * perModifier + i]))
                return quint16(1U << modifier);
        }
    }
    return 0;
}

} // namespace

XcbGlobalShortcuts::XcbGlobalShortcuts(xcb_connection_t *connection, xcb_window_t root,
                                       QObject *parent)
    : GlobalShortcuts(parent), m_connection(connection), m_root(root)
{
    if (m_connection)
        QCoreApplication::instance()->installNativeEventFilter(this);
}

XcbGlobalShortcuts::~XcbGlobalShortcuts()
{
    if (!m_connection)
        return;
    rebind({});
    if (QCoreApplication::instance())
        QCoreApplication::instance()->removeNativeEventFilter(this);
}

QSet<quint32> XcbGlobalShortcuts::rebind(const QMap<quint32, Hotkey> &bindings)
{
    QSet<quint32> refused;
    if (!m_connection) {
        for (auto it = bindings.cbegin(); it != bindings.cend(); ++it)
            refused.insert(it.key());
        return refused;
    }

    for (const Grab &grab : std::as_const(m_grabs))
        ungrab(grab.keycode, grab.modifiers, m_grabbedVariants);
    m_grabs.clear();
    m_heldKey = 0;
    if (bindings.isEmpty()) {
        xcb_flush(m_connection);
        return refused;
    }

    // Every grab is sent before any answer is read: one round trip to the X server in all.
    const KeyboardMapping mapping(m_connection);
    const quint16 numLock = numLockMask(m_connection, mapping);
    m_grabbedVariants = { 0, XCB_MOD_MASK_LOCK };
    if (numLock)
        m_grabbedVariants << numLock << quint16(numLock | XCB_MOD_MASK_LOCK);

    struct Pending
    {
        Grab grab;
        QList<xcb_void_cookie_t> cookies;
    };
    QList<Pending> pending;
    for (auto it = bindings.cbegin(); it != bindings.cend(); ++it) {
        const std::optional<quint32> keysym = X11KeyTranslation::keysym(it->keyCode);
        const QList<xcb_keycode_t> keycodes
            = keysym ? mapping.keycodes(*keysym) : QList<xcb_keycode_t>();
        if (keycodes.isEmpty()) {
            refused.insert(it.key());
            continue;
        }
        Pending request {
            { keycodes.first(), X11KeyTranslation::modifierMask(it->modifiers), it.key() }, {}
        };
        // X lets one client grab a combination twice; the system would refuse the second
        // registration, and a press could only ever mean the first action.
        const bool bindsTwice
            = std::any_of(pending.cbegin(), pending.cend(), [&](const Pending &other) {
                  return other.grab.keycode == request.grab.keycode
                      && other.grab.modifiers == request.grab.modifiers;
              });
        if (bindsTwice) {
            refused.insert(it.key());
            continue;
        }
        for (const quint16 variant : std::as_const(m_grabbedVariants)) {
            request.cookies << xcb_grab_key_checked(
                m_connection, false, m_root, request.grab.modifiers | variant, request.grab.keycode,
                XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC);
        }
        pending << request;
    }

    for (const Pending &request : std::as_const(pending)) {
        bool granted = true;
        for (const xcb_void_cookie_t cookie : request.cookies) {
            if (auto error = own(xcb_request_check(m_connection, cookie)))
                granted = false;
        }
        if (granted) {
            m_grabs << request.grab;
        } else {
            // Gives back the variants that were granted; another client keeps its own grab.
            ungrab(request.grab.keycode, request.grab.modifiers, m_grabbedVariants);
            refused.insert(request.grab.identifier);
        }
    }
    xcb_flush(m_connection);
    return refused;
}

void XcbGlobalShortcuts::ungrab(xcb_keycode_t keycode, quint16 modifiers,
                                const QList<quint16> &variants)
{
    for (const quint16 variant : variants)
        xcb_ungrab_key(m_connection, keycode, m_root, modifiers | variant);
}

bool XcbGlobalShortcuts::nativeEventFilter(const QByteArray &eventType, void *message, qintptr *)
{
    if (eventType != "xcb_generic_event_t")
        return false;
    const auto *event = static_cast<const xcb_generic_event_t *>(message);
    switch (event->response_type & 0x7f) {
    case XCB_KEY_PRESS:
        return handleKeyPress(*static_cast<const xcb_key_press_event_t *>(message));
    case XCB_KEY_RELEASE:
        return handleKeyRelease(*static_cast<const xcb_key_release_event_t *>(message));
    default:
        return false;
    }
}

bool XcbGlobalShortcuts::handleKeyPress(const xcb_key_press_event_t &event)
{
    if (event.event != m_root)
        return false;
    const quint16 modifiers = event.state & kBindableModifiers;
    const auto grab = std::find_if(m_grabs.cbegin(), m_grabs.cend(), [&](const Grab &candidate) {
        return candidate.keycode == event.detail && candidate.modifiers == modifiers;
    });
    if (grab == m_grabs.cend())
        return false;

    const bool repeated = event.detail == m_heldKey
        || (event.detail == m_lastReleasedKey && event.time == m_lastReleaseTime);
    m_heldKey = event.detail;
    if (!repeated)
        Q_EMIT activated(grab->identifier);
    return true;
}

bool XcbGlobalShortcuts::handleKeyRelease(const xcb_key_release_event_t &event)
{
    if (event.event != m_root || event.detail != m_heldKey)
        return false;
    m_heldKey = 0;
    m_lastReleasedKey = event.detail;
    m_lastReleaseTime = event.time;
    return true;
}
