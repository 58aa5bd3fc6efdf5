#pragma once

// The measures' clocks and statistics: timing a call, repeating it, and the median and maximum of
// the times, written as the table writes them.

#include <QElapsedTimer>
#include <QString>

#include <optional>
#include <vector>

namespace pocko::bench {

// The steady clock's time in ns, the clock the deck stamps with.
qint64 steadyNs();

void sleepMs(int ms);

// The seconds one call of `body` takes.
template<typename Body> double seconds(Body &&body)
{
    QElapsedTimer timer;
    timer.start();
    body();
    return double(timer.nsecsElapsed()) / 1e9;
}

// `runs` timings; a run whose body returns no time (it failed) is left out.
template<typename Body> std::vector<double> timings(int runs, Body &&body)
{
    std::vector<double> times;
    for (int i = 0; i < runs; ++i) {
        if (const std::optional<double> time = body(i))
            times.push_back(*time);
    }
    return times;
}

double median(std::vector<double> values);

// Seconds as milliseconds with two decimals: "1.23 ms".
QString ms(double seconds);

// "median / max" of the times, or "failed" when there are none.
QString medianAndMax(const std::vector<double> &times);

} // namespace pocko::bench
