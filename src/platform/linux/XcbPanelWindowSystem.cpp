#include "platform/linux/XcbPanelWindowSystem.h"

#include <QByteArray>
#include <QList>
#include <QWindow>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {
constexpr quint32 kAllDesktops = 0xFFFFFFFF;
constexpr quint32 kStateAdd = 1;
constexpr quint32 kSourceApplication = 1;

struct FreeDeleter
{
    void operator()(void *pointer) const { std::free(pointer); }
};
template<typename T> using Reply = std::unique_ptr<T, FreeDeleter>;
} // namespace

XcbPanelWindowSystem::XcbPanelWindowSystem(xcb_connection_t *connection, int screenNumber)
    : m_connection(connection), m_screenNumber(screenNumber)
{
    if (!m_connection)
        return;
    xcb_screen_iterator_t screens = xcb_setup_roots_iterator(xcb_get_setup(m_connection));
    for (int i = 0; i < screenNumber && screens.rem; ++i)
        xcb_screen_next(&screens);
    m_root = screens.data ? screens.data->root : XCB_NONE;
}

xcb_atom_t XcbPanelWindowSystem::atom(const char *name) const
{
    const Reply<xcb_intern_atom_reply_t> reply(xcb_intern_atom_reply(
        m_connection, xcb_intern_atom(m_connection, 0, quint16(std::strlen(name)), name), nullptr));
    return reply ? reply->atom : xcb_atom_t(XCB_ATOM_NONE);
}

PanelWindowSystem::Backdrop XcbPanelWindowSystem::backdrop() const
{
    if (!m_connection || m_root == XCB_NONE)
        return Backdrop::Translucent;
    const QByteArray selection = "_NET_WM_CM_S" + QByteArray::number(m_screenNumber);
    const Reply<xcb_get_selection_owner_reply_t> owner(xcb_get_selection_owner_reply(
        m_connection, xcb_get_selection_owner(m_connection, atom(selection.constData())), nullptr));
    if (!owner || owner->owner == XCB_NONE)
        return Backdrop::Opaque;

    // KWin announces its blur by putting a property of that name on the root window, while its
    // effect is loaded.
    const xcb_atom_t blur = atom("_KDE_NET_WM_BLUR_BEHIND_REGION");
    const Reply<xcb_list_properties_reply_t> properties(xcb_list_properties_reply(
        m_connection, xcb_list_properties(m_connection, m_root), nullptr));
    if (properties) {
        const xcb_atom_t *atoms = xcb_list_properties_atoms(properties.get());
        const int count = xcb_list_properties_atoms_length(properties.get());
        if (std::find(atoms, atoms + count, blur) != atoms + count)
            return Backdrop::Blurred;
    }
    return Backdrop::Translucent;
}

void XcbPanelWindowSystem::setBlurBehind(QWindow &window, const QRegion &region)
{
    if (!m_connection)
        return;
    // The property holds x, y, width, height per rectangle, in device pixels.
    const qreal ratio = window.devicePixelRatio();
    QList<quint32> values;
    for (const QRect &rect : region) {
        values << quint32(qRound(rect.x() * ratio)) << quint32(qRound(rect.y() * ratio))
               << quint32(qRound(rect.width() * ratio)) << quint32(qRound(rect.height() * ratio));
    }
    xcb_change_property(m_connection, XCB_PROP_MODE_REPLACE, xcb_window_t(window.winId()),
                        atom("_KDE_NET_WM_BLUR_BEHIND_REGION"), XCB_ATOM_CARDINAL, 32,
                        quint32(values.size()), values.constData());
    xcb_flush(m_connection);
}

void XcbPanelWindowSystem::setPanelStates(QWindow &window)
{
    if (!m_connection || m_root == XCB_NONE)
        return;
    const auto id = xcb_window_t(window.winId());
    const xcb_atom_t state = atom("_NET_WM_STATE");
    const xcb_atom_t desktop = atom("_NET_WM_DESKTOP");
    // Out of the taskbar too: a window mapped without being activated is marked as demanding
    // attention by KWin, which would make its taskbar entry flash.
    const QList<xcb_atom_t> wanted { atom("_NET_WM_STATE_STICKY"),
                                     atom("_NET_WM_STATE_SKIP_TASKBAR"),
                                     atom("_NET_WM_STATE_SKIP_PAGER") };
    // An unmapped window carries its wishes as properties, which the window manager reads when
    // it maps it (Qt keeps a state it did not set); a mapped one is sent messages.
    xcb_change_property(m_connection, XCB_PROP_MODE_REPLACE, id, desktop, XCB_ATOM_CARDINAL, 32, 1,
                        &kAllDesktops);
    const Reply<xcb_get_property_reply_t> current(xcb_get_property_reply(
        m_connection, xcb_get_property(m_connection, 0, id, state, XCB_ATOM_ATOM, 0, 64), nullptr));
    QList<xcb_atom_t> states;
    if (current && current->format == 32) {
        const auto *atoms = static_cast<const xcb_atom_t *>(xcb_get_property_value(current.get()));
        states = QList<xcb_atom_t>(atoms, atoms + xcb_get_property_value_length(current.get()) / 4);
    }
    for (const xcb_atom_t each : wanted) {
        if (!states.contains(each))
            states.append(each);
    }
    xcb_change_property(m_connection, XCB_PROP_MODE_REPLACE, id, state, XCB_ATOM_ATOM, 32,
                        quint32(states.size()), states.constData());
    sendToRoot(id, desktop, { kAllDesktops, kSourceApplication });
    sendToRoot(id, state, { kStateAdd, wanted.at(0), wanted.at(1), kSourceApplication });
    sendToRoot(id, state, { kStateAdd, wanted.at(2), XCB_ATOM_NONE, kSourceApplication });
    xcb_flush(m_connection);
}

void XcbPanelWindowSystem::sendToRoot(xcb_window_t window, xcb_atom_t type,
                                      std::initializer_list<quint32> data)
{
    xcb_client_message_event_t event = {};
    event.response_type = XCB_CLIENT_MESSAGE;
    event.format = 32;
    event.window = window;
    event.type = type;
    std::copy(data.begin(), data.end(), event.data.data32);
    xcb_send_event(m_connection, 0, m_root,
                   XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY,
                   reinterpret_cast<const char *>(&event));
}
