#pragma once

#include <QString>

// Whether Vesper starts when the user logs in.
class LoginItem
{
public:
    virtual ~LoginItem() = default;

    virtual bool isEnabled() const = 0;
    // On failure returns false and describes the reason in errorString.
    virtual bool setEnabled(bool enabled, QString &errorString) = 0;
};
