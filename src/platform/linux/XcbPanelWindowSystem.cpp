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

    const xcb_atom_t blur = atom("_KDE_NET_WM_BLUR_BEHIND_REGION");
    const Reply<xcb_get_property_reply_t> supported(xcb_get_property_reply(
        m_connection,
        xcb_get_property(m_connection, 0, m_root, atom("_NET_SUPPORTED"), XCB_ATOM_ATOM, 0, 4096),
        nullptr));
    if (supported && supported->format == 32) {
        const auto *atoms
            = static_cast<const xcb_atom_t *>(xcb_get_property_value(supported.get()));
        const int count = xcb_get_property_value_length(supported.get()) / 4;
        for (int i = 0; i < count; ++i) {
            if (atoms[i] == blur)
                return Backdrop::Blurred;
        }
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

void XcbPanelWindowSystem::setOnAllWorkspaces(QWindow &window)
{
    if (!m_connection || m_root == XCB_NONE)
        return;
    const auto id = xcb_window_t(window.winId());
    const xcb_atom_t state = atom("_NET_WM_STATE");
    const xcb_atom_t sticky = atom("_NET_WM_STATE_STICKY");
    const xcb_atom_t desktop = atom("_NET_WM_DESKTOP");
    // An unmapped window carries its wishes as properties, which the window manager reads when
    // it maps it (Qt keeps a state it did not set); a mapped one is sent messages.
    xcb_change_property(m_connection, XCB_PROP_MODE_REPLACE, id, desktop, XCB_ATOM_CARDINAL, 32, 1,
                        &kAllDesktops);
    const Reply<xcb_get_property_reply_t> current(xcb_get_property_reply(
        m_connection, xcb_get_property(m_connection, 0, id, state, XCB_ATOM_ATOM, 0, 64), nullptr));
    bool hasSticky = false;
    if (current && current->format == 32) {
        const auto *atoms = static_cast<const xcb_atom_t *>(xcb_get_property_value(current.get()));
        const int count = xcb_get_property_value_length(current.get()) / 4;
        hasSticky = std::find(atoms, atoms + count, sticky) != atoms + count;
    }
    if (!hasSticky)
        xcb_change_property(m_connection, XCB_PROP_MODE_APPEND, id, state, XCB_ATOM_ATOM, 32, 1,
                            &sticky);
    sendToRoot(id, desktop, { kAllDesktops, kSourceApplication });
    sendToRoot(id, state, { kStateAdd, sticky, XCB_ATOM_NONE, kSourceApplication });
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
