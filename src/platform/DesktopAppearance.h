#pragma once

#include <QObject>

// The desktop's light or dark preference, followed by the "system" colour scheme.
class DesktopAppearance : public QObject
{
    Q_OBJECT
public:
    using QObject::QObject;

    // False until the desktop has answered, and when it has no preference.
    virtual bool prefersDark() const = 0;

Q_SIGNALS:
    void preferenceChanged();
};
