#pragma once

#include <QFlags>

// Controls a source offers besides play/pause, which every source has. The bits are the raw
// values shared with the browser extension.
enum class SourceCapability : int {
    Previous = 1,
    Next = 2,
    Seek = 4,
    Like = 8,
    Shuffle = 16,
    Repeat = 32
};
Q_DECLARE_FLAGS(SourceCapabilities, SourceCapability)
Q_DECLARE_OPERATORS_FOR_FLAGS(SourceCapabilities)

// What desktop sources always report, and the default of a record (raw value 63).
inline constexpr SourceCapabilities allSourceCapabilities = SourceCapability::Previous
    | SourceCapability::Next | SourceCapability::Seek | SourceCapability::Like
    | SourceCapability::Shuffle | SourceCapability::Repeat;
