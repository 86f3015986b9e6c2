#pragma once

#include <QString>

// Opens a desktop player, as a click on the player's cover asks.
class Workspace
{
public:
    virtual ~Workspace() = default;
    // Starts the player of that source id through its desktop entry; false when no entry for it
    // is installed (nothing happens then).
    virtual bool openPlayer(const QString &sourceId) = 0;
};
