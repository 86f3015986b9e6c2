#pragma once

#include "platform/DesktopAppearance.h"
#include "platform/LoginItem.h"

// A desktop under the test's hand. Left alone it stays out of the way of settings under test:
// no autostart entry, and a light palette that never changes.
class NoLoginItem : public LoginItem
{
public:
    bool enabled = false, refuse = false;
    int changes = 0;
    bool isEnabled() const override { return enabled; }
    bool setEnabled(bool wanted, QString &) override
    {
        ++changes;
        enabled = refuse ? enabled : wanted;
        return !refuse;
    }
};

class LightDesktop : public DesktopAppearance
{
public:
    bool dark = false;
    bool prefersDark() const override { return dark; }
    void change(bool toDark)
    {
        dark = toDark;
        Q_EMIT preferenceChanged();
    }
};
