#pragma once

#include "platform/DesktopAppearance.h"
#include "platform/LoginItem.h"

// A desktop that stays out of the way of settings under test: no autostart entry to manage and
// a light palette that never changes.
class NoLoginItem : public LoginItem
{
public:
    bool isEnabled() const override { return false; }
    bool setEnabled(bool, QString &) override { return true; }
};

class LightDesktop : public DesktopAppearance
{
public:
    bool prefersDark() const override { return false; }
};
