#pragma once

#include "platform/Workspace.h"

// Starts players through their desktop entries in the XDG data folders (native and Flatpak
// ids): by D-Bus activation when the entry says so, else by its Exec line.
class DesktopEntryWorkspace : public Workspace
{
public:
    bool openPlayer(const QString &sourceId) override;
};
