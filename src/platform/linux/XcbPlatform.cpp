#include "platform/Platform.h"

#include "core/Log.h"
#include "platform/linux/XcbGlobalShortcuts.h"
#include "platform/linux/XcbPanelWindowSystem.h"

#include <QGuiApplication>

#include <cstdlib>

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

std::unique_ptr<PanelWindowSystem> Platform::createPanelWindowSystem()
{
    const auto *x11
        = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    xcb_connection_t *connection = x11 ? x11->connection() : nullptr;
    // Qt connects to the screen that DISPLAY names.
    int screen = 0;
    char *host = nullptr;
    int display = 0;
    if (xcb_parse_display(nullptr, &host, &display, &screen))
        std::free(host);
    return std::make_unique<XcbPanelWindowSystem>(connection, screen);
}
