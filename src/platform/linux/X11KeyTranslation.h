#pragma once

#include <QtGlobal>

#include <optional>

// Stored bindings keep macOS virtual key codes and Carbon modifier masks; X11 grabs need
// keysyms and X modifier masks.
namespace X11KeyTranslation {
// The keysym of a key of the settings' code space; nothing for a key X has no name for here.
std::optional<quint32> keysym(quint32 macKeyCode);
// Control, Shift, Option as Alt (Mod1) and Command as Super (Mod4).
quint16 modifierMask(quint32 carbonModifiers);
} // namespace X11KeyTranslation
