#pragma once

#include <QList>
#include <QString>
#include <QtGlobal>

#include <optional>

// One key combination, kept in the settings' format: a macOS virtual key code and a Carbon
// modifier mask. The platform layer translates both when it registers the shortcut.
struct Hotkey
{
    static constexpr quint32 Command = 0x100;
    static constexpr quint32 Shift = 0x200;
    static constexpr quint32 Option = 0x800;
    static constexpr quint32 Control = 0x1000;
    static constexpr quint32 DefaultModifiers = Control | Option; // 6144

    quint32 keyCode = 0;
    quint32 modifiers = 0;

    // Modifier glyphs in the order ⌃⌥⇧⌘, then the key's name, e.g. "⌃⌥P".
    QString displayString() const;
    // The name of a key code; "Key<code>" for a key without one.
    static QString keyName(quint32 keyCode);

    friend bool operator==(const Hotkey &, const Hotkey &) = default;
};

enum class HotkeyAction {
    PlayPause,
    NextTrack,
    PreviousTrack,
    ToggleLike,
    ToggleLyrics,
    TogglePanel
};

namespace HotkeyActions {
// Declaration order, which is also the order of the identifiers.
QList<HotkeyAction> all();
// The key of the action in the settings' hotkey table ("playPause", …).
QString rawValue(HotkeyAction action);
std::optional<HotkeyAction> fromRawValue(const QString &rawValue);
// User-visible and translated (context "HotkeyAction").
QString title(HotkeyAction action);
// The hot-key identifier handed to the system: position in all() plus one.
quint32 identifier(HotkeyAction action);
std::optional<HotkeyAction> fromIdentifier(quint32 identifier);
Hotkey defaultHotkey(HotkeyAction action);
} // namespace HotkeyActions
