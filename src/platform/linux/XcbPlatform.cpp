#include "platform/Platform.h"

#include "core/Log.h"
#include "platform/linux/XcbGlobalShortcuts.h"

#include <QGuiApplication>

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
