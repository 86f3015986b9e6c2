#pragma once

#include "platform/PanelWindowSystem.h"

#include <xcb/xcb.h>

#include <initializer_list>

// The panel on an X11 display: compositing is known from the _NET_WM_CM_S<n> selection, blur
// from KWin's _KDE_NET_WM_BLUR_BEHIND_REGION property on the root window; every workspace is asked
// for with _NET_WM_DESKTOP and _NET_WM_STATE_STICKY, no taskbar or pager entry with
// _NET_WM_STATE_SKIP_TASKBAR and _SKIP_PAGER. Without a connection it does nothing.
class XcbPanelWindowSystem : public PanelWindowSystem
{
public:
    XcbPanelWindowSystem(xcb_connection_t *connection, int screenNumber);

    Backdrop backdrop() const override;
    void setBlurBehind(QWindow &window, const QRegion &region) override;
    void setPanelStates(QWindow &window) override;

private:
    xcb_atom_t atom(const char *name) const;
    // An EWMH request about the window, as a client message to the root window.
    void sendToRoot(xcb_window_t window, xcb_atom_t type, std::initializer_list<quint32> data);

    xcb_connection_t *m_connection;
    xcb_window_t m_root = XCB_NONE;
    int m_screenNumber;
};
