#include "core/Clock.h"

#include <QElapsedTimer>

namespace {
class SystemClock : public Clock
{
public:
    SystemClock() { m_timer.start(); }
    QDateTime now() const override { return QDateTime::currentDateTimeUtc(); }
    double monotonicSeconds() const override { return double(m_timer.nsecsElapsed()) / 1e9; }

private:
    QElapsedTimer m_timer;
};
} // namespace

Clock &Clock::system()
{
    static SystemClock clock;
    return clock;
}
