#pragma once

#include <QString>

#include <cstdint>
#include <optional>

namespace pocko {

// Numbers held as text in the cue slots and the dialog: written in general decimal notation (up
// to 15 significant digits, no trailing zeros, no grouping) with the locale's decimal separator,
// and read back with it. Only finite decimals convert: "nan", "inf" and hex do not.
QString formatNumber(double value);
std::optional<double> parseNumber(const QString &text);

// Whole-number conversions round to the nearest, halves to even, and saturate at the type's range.
std::int32_t roundToInt32(double value);
std::int16_t roundToInt16(double value);

} // namespace pocko
