#include "exception/KVMapFileColumns.h"

#include "framework/SysUtils.h"

namespace zr::mapcolumns {

namespace {

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

}  // namespace

// The usual field of eight digits is read here directly; anything else
// (blanks, signs) goes to StrToInt's rules.
bool ConvertOffset(std::string_view line, size_t column, std::uint32_t& offset) {
    if (line.size() < column + kOffsetWidth) return false;
    std::uint32_t value = 0;
    for (size_t i = column; i < column + kOffsetWidth; ++i) {
        int digit = HexDigit(line[i]);
        if (digit < 0) {
            char text[1 + kOffsetWidth];
            text[0] = '$';
            line.copy(text + 1, kOffsetWidth, column);
            int converted = 0;
            if (!TryStrToInt(std::string_view(text, sizeof text), converted)) return false;
            offset = static_cast<std::uint32_t>(converted);
            return true;
        }
        value = value << 4 | static_cast<std::uint32_t>(digit);
    }
    offset = value;
    return true;
}

bool ConvertLineNumber(std::string_view field, int& number) {
    constexpr size_t kPlainDigits = 9;  // cannot overflow an int
    if (!field.empty() && field.size() <= kPlainDigits &&
        field.find_first_not_of("0123456789") == std::string_view::npos) {
        number = 0;
        for (char c : field) number = number * 10 + (c - '0');
        return true;
    }
    return TryStrToInt(field, number);
}

std::string_view TrimView(std::string_view text) {
    while (!text.empty() && static_cast<unsigned char>(text.front()) <= ' ') text.remove_prefix(1);
    while (!text.empty() && static_cast<unsigned char>(text.back()) <= ' ') text.remove_suffix(1);
    return text;
}

bool ExtractUnitName(std::string_view line, std::string_view& unit) {
    size_t module = line.find("M=");
    size_t acbp = line.find("ACBP=");
    if (module == std::string_view::npos || acbp == std::string_view::npos) return false;
    size_t first = module + 2;
    unit = acbp >= first + 2 ? TrimView(line.substr(first, acbp - 1 - first)) : std::string_view();
    return true;
}

}  // namespace zr::mapcolumns
