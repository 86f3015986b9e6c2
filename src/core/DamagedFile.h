#pragma once

#include <QString>

#include <optional>

// Renames a file Vesper cannot read as its own to "<path>.damaged-<UTC timestamp>", so that it is
// kept for the user and never written over; a symbolic link is moved itself, its target untouched.
std::optional<QString> setAsideDamagedFile(const QString &path);
