#pragma once

#include <QString>

#include <optional>

// Renames a file Vesper cannot read as its own to "<path>.damaged-<UTC timestamp>", so that it is
// kept for the user and never written over. Returns the new name, or none when the rename failed.
std::optional<QString> setAsideDamagedFile(const QString &path);
