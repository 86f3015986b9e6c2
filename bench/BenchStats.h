#pragma once

#include <QList>

#include <algorithm>
#include <cstdio>

// Median and 99th percentile of a set of samples, printed in one line.
inline void printStats(const char *what, QList<double> samples, const char *unit)
{
    std::sort(samples.begin(), samples.end());
    const auto at = [&samples](double quantile) {
        return samples.at(qsizetype(quantile * double(samples.size() - 1)));
    };
    std::printf("%s: median %.3g %s, p99 %.3g %s over %lld samples\n", what, at(0.5), unit,
                at(0.99), unit, static_cast<long long>(samples.size()));
}
