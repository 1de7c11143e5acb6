// The framework's ways of writing a double, shared by FloatToStr and Format.
// Independent of the C library's locale: the separators are parameters.
#pragma once

#include <string>
#include <string_view>

namespace zr {

// General format with `precision` significant digits: fixed notation unless
// the value needs more than `precision` digits before the point or is below
// 0.0001; then d.dddE[-]x with at least `exponentDigits` exponent digits.
// Trailing zeros are dropped. Infinity and NaN are "INF", "-INF", "NAN".
std::string GeneralFloatText(double value, int precision, int exponentDigits,
                             char decimalSeparator);

// d.ddddE+xxx: `precision` significant digits, a signed exponent of at least
// `exponentDigits` digits.
std::string ExponentFloatText(double value, int precision, int exponentDigits,
                              char decimalSeparator);

// Fixed notation with `decimals` digits after the point, thousands grouped
// by `thousandSeparator` when it is not empty. The sign is returned apart
// (`negative`), and is false when the rounded value is zero.
std::string FixedFloatDigits(double value, int decimals, char decimalSeparator,
                             std::string_view thousandSeparator, bool& negative);
std::string FixedFloatText(double value, int decimals, char decimalSeparator,
                           std::string_view thousandSeparator);

}  // namespace zr
