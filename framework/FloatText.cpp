#include "framework/FloatText.h"

#include <charconv>
#include <cmath>

namespace zr {

namespace {

// A finite value as 0.DIGITS x 10^exponent, rounded to `significant`
// digits, trailing zeros removed ("" for zero).
struct TDecimal {
    bool negative = false;
    std::string digits;
    int exponent = 0;
};

TDecimal Decimal(double value, int significant) {
    TDecimal d;
    d.negative = std::signbit(value) && value != 0;
    if (value == 0) return d;
    char buffer[64];
    auto result = std::to_chars(buffer, buffer + sizeof buffer, std::fabs(value),
                                std::chars_format::scientific, significant - 1);
    std::string_view text(buffer, result.ptr - buffer);  // "d.ddde+xx"
    size_t e = text.find('e');
    for (char c : text.substr(0, e))
        if (c != '.') d.digits += c;
    int exponent = 0;
    std::string_view exp = text.substr(e + 1);
    if (!exp.empty() && exp[0] == '+') exp.remove_prefix(1);
    std::from_chars(exp.data(), exp.data() + exp.size(), exponent);
    d.exponent = exponent + 1;
    while (!d.digits.empty() && d.digits.back() == '0') d.digits.pop_back();
    if (d.digits.empty()) d.negative = false;
    return d;
}

const char* SpecialText(double value) {
    if (std::isnan(value)) return "NAN";
    if (std::isinf(value)) return value < 0 ? "-INF" : "INF";
    return nullptr;
}

std::string Exponent(int exponent, bool plusSign, int minDigits) {
    std::string text;
    if (exponent < 0)
        text += '-';
    else if (plusSign)
        text += '+';
    std::string digits = std::to_string(exponent < 0 ? -exponent : exponent);
    if (static_cast<int>(digits.size()) < minDigits) text.append(minDigits - digits.size(), '0');
    return text + digits;
}

std::string Grouped(std::string_view integerDigits, std::string_view separator) {
    if (separator.empty()) return std::string(integerDigits);
    std::string out;
    size_t n = integerDigits.size();
    for (size_t i = 0; i < n; ++i) {
        if (i > 0 && (n - i) % 3 == 0) out += separator;
        out += integerDigits[i];
    }
    return out;
}

}  // namespace

std::string GeneralFloatText(double value, int precision, int exponentDigits, char separator) {
    if (const char* special = SpecialText(value)) return special;
    TDecimal d = Decimal(value, precision);
    if (d.digits.empty()) return "0";
    std::string out = d.negative ? "-" : "";
    if (d.exponent > precision || d.exponent < -3) {
        out += d.digits[0];
        if (d.digits.size() > 1) {
            out += separator;
            out += d.digits.substr(1);
        }
        out += 'E';
        out += Exponent(d.exponent - 1, false, exponentDigits);
        return out;
    }
    if (d.exponent <= 0) {
        out += '0';
        out += separator;
        out.append(-d.exponent, '0');
        out += d.digits;
        return out;
    }
    size_t whole = static_cast<size_t>(d.exponent);
    if (d.digits.size() <= whole) {
        out += d.digits;
        out.append(whole - d.digits.size(), '0');
    } else {
        out += d.digits.substr(0, whole);
        out += separator;
        out += d.digits.substr(whole);
    }
    return out;
}

std::string ExponentFloatText(double value, int precision, int exponentDigits, char separator) {
    if (const char* special = SpecialText(value)) return special;
    TDecimal d = Decimal(value, precision);
    std::string digits = d.digits.empty() ? "0" : d.digits;
    digits.resize(static_cast<size_t>(precision), '0');
    std::string out = d.negative ? "-" : "";
    out += digits[0];
    if (precision > 1) {
        out += separator;
        out += digits.substr(1);
    }
    out += 'E';
    out += Exponent(d.digits.empty() ? 0 : d.exponent - 1, true, exponentDigits);
    return out;
}

std::string FixedFloatDigits(double value, int decimals, char separator,
                             std::string_view thousandSeparator, bool& negative) {
    negative = false;
    if (const char* special = SpecialText(value)) {
        negative = value < 0;
        return negative ? special + 1 : special;
    }
    // Large enough for the widest double (309 digits) and 18 decimals.
    char buffer[400];
    auto result = std::to_chars(buffer, buffer + sizeof buffer, std::fabs(value),
                                std::chars_format::fixed, decimals);
    std::string_view text(buffer, result.ptr - buffer);
    size_t point = text.find('.');
    std::string_view whole = text.substr(0, point);
    std::string out = Grouped(whole, thousandSeparator);
    if (point != std::string_view::npos) {
        out += separator;
        out += text.substr(point + 1);
    }
    // "-0.00" is no negative number.
    negative = std::signbit(value) && text.find_first_not_of("0.") != std::string_view::npos;
    return out;
}

std::string FixedFloatText(double value, int decimals, char separator,
                           std::string_view thousandSeparator) {
    bool negative = false;
    std::string digits = FixedFloatDigits(value, decimals, separator, thousandSeparator, negative);
    return negative ? "-" + digits : digits;
}

}  // namespace zr
