#pragma once

#include "models/MusicApp.h"

#include <QString>

#include <optional>

// One row of the source chooser; rows are told apart by app.
struct SourceListItem
{
    MusicApp app;
    bool enabled = false;
    std::optional<QString> statusNote; // "Not Running" / "Not Open" beside a disabled row

    const MusicApp &id() const { return app; }

    friend bool operator==(const SourceListItem &, const SourceListItem &) = default;
};
