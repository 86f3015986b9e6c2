#include "platform/Platform.h"

#include "core/Log.h"
#include "platform/linux/XcbGlobalShortcuts.h"
#include "platform/linux/XcbPanelWindowSystem.h"

#include <QGuiApplication>

#include <cstdlib>
#include <memory>

using namespace Qt::StringLiterals;

std::unique_ptr<GlobalShortcuts> Platform::createGlobalShortcuts()
{
    const auto *x11
        = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    // The offscreen platform answers as X11 too, without a connection.
    xcb_connection_t *connection = x11 ? x11->connection() : nullptr;
    if (!connection) {
        plainLog(u"Vesper: global shortcuts need an X11 session; none of them will work"_s);
        return std::make_unique<XcbGlobalShortcuts>(nullptr, XCB_NONE);
    }
    const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(connection)).data->root;
    return std::make_unique<XcbGlobalShortcuts>(connection, root);
}

namespace {
xcb_connection_t *qtConnection()
{
    const auto *x11
        = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    return x11 ? x11->connection() : nullptr;
}

// Qt connects to the screen that DISPLAY names.
int screenNumber()
{
    int screen = 0;
    char *host = nullptr;
    int display = 0;
    if (xcb_parse_display(nullptr, &host, &display, &screen))
        std::free(host);
    return screen;
}
} // namespace

std::unique_ptr<PanelWindowSystem> Platform::createPanelWindowSystem()
{
    return std::make_unique<XcbPanelWindowSystem>(qtConnection(), screenNumber());
}

bool Platform::legacyTrayPresent()
{
    xcb_connection_t *connection = qtConnection();
    if (!connection)
        return false;
    const QByteArray name = "_NET_SYSTEM_TRAY_S" + QByteArray::number(screenNumber());
    std::unique_ptr<xcb_intern_atom_reply_t, decltype(&std::free)> atom(
        xcb_intern_atom_reply(
            connection, xcb_intern_atom(connection, 1, quint16(name.size()), name.constData()),
            nullptr),
        &std::free);
    if (!atom || atom->atom == XCB_ATOM_NONE)
        return false;
    std::unique_ptr<xcb_get_selection_owner_reply_t, decltype(&std::free)> owner(
        xcb_get_selection_owner_reply(connection, xcb_get_selection_owner(connection, atom->atom),
                                      nullptr),
        &std::free);
    return owner && owner->owner != XCB_NONE;
}
