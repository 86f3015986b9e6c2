#include "core/Clock.h"

SystemClock::SystemClock() { m_timer.start(); }

QDateTime SystemClock::now() const { return QDateTime::currentDateTimeUtc(); }

double SystemClock::monotonicSeconds() const { return double(m_timer.nsecsElapsed()) / 1e9; }
