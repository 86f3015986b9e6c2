#pragma once

#include "models/Source.h"

#include <QString>

#include <optional>

// One row of the source chooser; rows are told apart by app.
struct SourceListItem
{
    Source app;
    bool enabled = false;
    std::optional<QString> statusNote; // "Not Running" / "Not Open" beside a disabled row

    const Source &id() const { return app; }

    friend bool operator==(const SourceListItem &, const SourceListItem &) = default;
};
