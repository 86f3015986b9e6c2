#pragma once

// Repeat coding shared by every source; the Spotify desktop client only knows Off and All.
namespace RepeatMode {
inline constexpr int Off = 0;
inline constexpr int One = 1;
inline constexpr int All = 2;
} // namespace RepeatMode
