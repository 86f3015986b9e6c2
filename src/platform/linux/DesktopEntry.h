#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <optional>

// The part of a freedesktop.org desktop entry that starts a program.
struct DesktopEntry
{
    QString exec;
    bool dbusActivatable = false;

    // The [Desktop Entry] group of a file; none when it has none or is hidden.
    static std::optional<DesktopEntry> parse(const QByteArray &contents);
    // The program and its arguments from an Exec value: quoting and escapes undone, field codes
    // (%f, %U, %i, …) left out, "%%" read as "%"; none when it is malformed or empty.
    static std::optional<QStringList> execArguments(const QString &exec);
    // The D-Bus object path of an activatable entry's id: "org.example.App" →
    // "/org/example/App", a "-" becoming "_".
    static QString objectPath(const QString &desktopId);
};
