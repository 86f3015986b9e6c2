#pragma once

#include "core/Clock.h"

// A clock that moves only when the test moves it.
class FakeClock : public Clock
{
public:
    QDateTime now() const override { return m_now; }
    double monotonicSeconds() const override { return m_monotonic; }

    void advance(double seconds)
    {
        m_monotonic += seconds;
        m_now = m_now.addMSecs(qint64(seconds * 1000));
    }
    // A wall-clock jump, as after a suspend, without monotonic time passing.
    void jumpWallClock(qint64 seconds) { m_now = m_now.addSecs(seconds); }

private:
    QDateTime m_now = QDateTime(QDate(2026, 12, 6), QTime(20, 0), Qt::UTC);
    double m_monotonic = 1000;
};
