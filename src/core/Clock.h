#pragma once

#include <QDateTime>
#include <QElapsedTimer>

// Where time comes from, so that rules over time are tested without sleeping.
class Clock
{
public:
    virtual ~Clock() = default;

    // Wall-clock time, UTC.
    virtual QDateTime now() const = 0;
    // Seconds on a clock that never jumps; only differences mean anything.
    virtual double monotonicSeconds() const = 0;
};

// The machine's clocks.
class SystemClock : public Clock
{
public:
    SystemClock();
    QDateTime now() const override;
    double monotonicSeconds() const override;

private:
    QElapsedTimer m_timer;
};
