#include "numbers.h"

#include <QLocale>

#include <cmath>
#include <limits>

namespace pocko {

QString formatNumber(double value)
{
    if (value == 0)
        value = 0; // no "-0"
    QLocale locale;
    locale.setNumberOptions(QLocale::OmitGroupSeparator);
    return locale.toString(value, 'g', 15);
}

std::optional<double> parseNumber(const QString &text)
{
    const QString trimmed = text.trimmed();
    if (trimmed.isEmpty())
        return std::nullopt;
    QLocale locale;
    locale.setNumberOptions(QLocale::RejectGroupSeparator);
    bool ok = false;
    const double value = locale.toDouble(trimmed, &ok);
    if (!ok || !std::isfinite(value))
        return std::nullopt;
    return value;
}

namespace {

template<class Int>
Int roundSaturated(double value)
{
    if (std::isnan(value))
        return 0;
    const double rounded = std::nearbyint(value); // the default rounding: halves to even
    if (rounded <= double(std::numeric_limits<Int>::min()))
        return std::numeric_limits<Int>::min();
    if (rounded >= double(std::numeric_limits<Int>::max()))
        return std::numeric_limits<Int>::max();
    return Int(rounded);
}

} // namespace

std::int32_t roundToInt32(double value) { return roundSaturated<std::int32_t>(value); }
std::int16_t roundToInt16(double value) { return roundSaturated<std::int16_t>(value); }

} // namespace pocko
