#pragma once

#include <QRegion>

class QWindow;

// What the floating panel asks of the window system beyond Qt: how its background can be drawn,
// a blur behind it, a place on every workspace and none in the taskbar.
class PanelWindowSystem
{
public:
    enum class Backdrop {
        Blurred, // a compositor that blurs behind translucent windows
        Translucent, // a compositor without blur
        Opaque, // no compositor: translucent pixels would show black
    };

    virtual ~PanelWindowSystem() = default;

    virtual Backdrop backdrop() const = 0;
    // The region (in the window's logical pixels) the compositor should blur; nothing where
    // there is no blur.
    virtual void setBlurBehind(QWindow &window, const QRegion &region) = 0;
    // Shown on every workspace and kept out of the taskbar and pager, where the window manager
    // supports it; asked for before the window is mapped.
    virtual void setPanelStates(QWindow &window) = 0;
};
