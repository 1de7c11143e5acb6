#include "framework/FloatText.h"

#include <charconv>
#include <cmath>

namespace zr {

namespace {

// A finite value as 0.DIGITS x 10^exponent, trailing zeros removed (no
// digits at all for zero).
struct TDecimal {
    bool negative = false;
    std::string digits;
    int exponent = 0;
};

// Every double has an exact decimal expansion of at most 767 significant
// digits; starting from it, rounding can go half away from zero, as people
// round (the C library rounds exact halves to even: 2.5 -> "2").
TDecimal ExactDecimal(double value) {
    TDecimal d;
    d.negative = std::signbit(value);
    if (value == 0) return d;
    char buffer[800];
    auto result = std::to_chars(buffer, buffer + sizeof buffer, std::fabs(value),
                                std::chars_format::scientific, 770);
    std::string_view text(buffer, result.ptr - buffer);  // "d.ddd...e+xx"
    size_t e = text.find('e');
    for (char c : text.substr(0, e))
        if (c != '.') d.digits += c;
    std::string_view exp = text.substr(e + 1);
    if (!exp.empty() && exp[0] == '+') exp.remove_prefix(1);
    int exponent = 0;
    std::from_chars(exp.data(), exp.data() + exp.size(), exponent);
    d.exponent = exponent + 1;
    while (!d.digits.empty() && d.digits.back() == '0') d.digits.pop_back();
    return d;
}

// Keeps `count` significant digits (none or fewer when count <= 0).
void RoundToDigits(TDecimal& d, int count) {
    if (count < 0 || static_cast<int>(d.digits.size()) <= count) return;
    bool up = d.digits[static_cast<size_t>(count)] >= '5';
    d.digits.resize(static_cast<size_t>(count));
    if (up) {
        int i = count - 1;
        while (i >= 0 && d.digits[static_cast<size_t>(i)] == '9')
            d.digits[static_cast<size_t>(i--)] = '0';
        if (i >= 0) {
            ++d.digits[static_cast<size_t>(i)];
        } else {
            d.digits.insert(d.digits.begin(), '1');
            ++d.exponent;
        }
    }
    while (!d.digits.empty() && d.digits.back() == '0') d.digits.pop_back();
}

TDecimal Decimal(double value, int significant) {
    TDecimal d = ExactDecimal(value);
    RoundToDigits(d, significant);
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
    std::string out = d.negative && !d.digits.empty() ? "-" : "";
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
    TDecimal d = ExactDecimal(value);
    // Rounding to a position before the first digit leaves nothing, or a
    // carry into a new leading 1.
    int keep = d.exponent + decimals;
    if (keep < 0)
        d.digits.clear();
    else
        RoundToDigits(d, keep);
    if (d.digits.empty()) d.exponent = 0;

    std::string whole;
    if (d.exponent <= 0) {
        whole = "0";
    } else {
        whole = d.digits.substr(0, std::min<size_t>(d.digits.size(), d.exponent));
        whole.append(static_cast<size_t>(d.exponent) - whole.size(), '0');
    }
    std::string out = Grouped(whole, thousandSeparator);
    if (decimals > 0) {
        out += separator;
        for (int i = 0; i < decimals; ++i) {
            int index = d.exponent + i;  // position in digits of this decimal
            out += index >= 0 && index < static_cast<int>(d.digits.size())
                       ? d.digits[static_cast<size_t>(index)]
                       : '0';
        }
    }
    // "-0.00" is no negative number.
    negative = d.negative && !d.digits.empty();
    return out;
}

std::string FixedFloatText(double value, int decimals, char separator,
                           std::string_view thousandSeparator) {
    bool negative = false;
    std::string digits = FixedFloatDigits(value, decimals, separator, thousandSeparator, negative);
    return negative ? "-" + digits : digits;
}

}  // namespace zr
