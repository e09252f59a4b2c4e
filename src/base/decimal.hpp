#pragma once

// What counts as a number where a board's value or an operator's range is read: one rule for
// the fleet view's every output and the device list.

#include <optional>
#include <string_view>

// A finite decimal number in the C locale, as a board writes one: an optional sign, digits
// with at most one decimal point, an optional exponent. Nothing else: not " 21.5", "0x1A",
// "inf", "nan", "1,5" or a number too large for a double.
std::optional<double> decimalNumber(std::string_view text);
