#pragma once

#include "models/Hotkey.h"

#include <QMap>
#include <QObject>
#include <QSet>

// System-wide key combinations. The bindings are replaced as a whole; a combination the system
// or another application already owns is refused, and a pressed one is reported by identifier.
class GlobalShortcuts : public QObject
{
    Q_OBJECT
public:
    using QObject::QObject;

    // Drops every earlier binding, then binds each identifier to its combination. Returns the
    // identifiers whose combination was refused.
    virtual QSet<quint32> rebind(const QMap<quint32, Hotkey> &bindings) = 0;

Q_SIGNALS:
    void activated(quint32 identifier);
};
