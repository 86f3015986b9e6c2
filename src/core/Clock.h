#pragma once

#include <QDateTime>

// Where time comes from, so that rules over time are tested without sleeping.
class Clock
{
public:
    virtual ~Clock() = default;

    // Wall-clock time, UTC.
    virtual QDateTime now() const = 0;
    // Seconds on a clock that never jumps; only differences mean anything.
    virtual double monotonicSeconds() const = 0;

    static Clock &system();
};
