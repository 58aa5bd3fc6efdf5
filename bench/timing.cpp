#include "timing.h"

#include <algorithm>
#include <chrono>
#include <thread>

namespace pocko::bench {

qint64 steadyNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void sleepMs(int ms)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

QString ms(double seconds)
{
    return QStringLiteral("%1 ms").arg(seconds * 1000, 0, 'f', 2);
}

QString medianAndMax(const std::vector<double> &times)
{
    if (times.empty())
        return QStringLiteral("failed");
    return QStringLiteral("%1 / %2").arg(ms(median(times)),
                                         ms(*std::max_element(times.begin(), times.end())));
}

} // namespace pocko::bench
