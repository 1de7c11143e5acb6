#include "platform/RegistryValues.h"

#include <algorithm>
#include <cstdio>

namespace zr::os::regstore {

namespace {

char Lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// ---- writing -------------------------------------------------------------

void AppendQuoted(std::string& out, std::string_view text) {
    out += '"';
    for (char c : text) {
        auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (byte < 0x20 || byte == 0x7F) {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02x", byte);
            out += hex;
        } else {
            out += c;
        }
    }
    out += '"';
}

std::string_view AsText(const std::vector<BYTE>& data, std::size_t count) {
    return {reinterpret_cast<const char*>(data.data()), count};
}

void AppendHex(std::string& out, const std::vector<BYTE>& data) {
    for (std::size_t i = 0; i < data.size(); ++i) {
        char hex[4];
        std::snprintf(hex, sizeof hex, "%s%02x", i ? "," : "", data[i]);
        out += hex;
    }
}

// The strings of a list that ends with an extra zero; nothing for any other shape.
std::optional<std::vector<std::string_view>> MultiStrings(const std::vector<BYTE>& data) {
    if (data.empty() || data.back() != 0) return std::nullopt;
    std::string_view rest = AsText(data, data.size() - 1);
    std::vector<std::string_view> items;
    while (!rest.empty()) {
        std::size_t end = rest.find('\0');
        if (end == std::string_view::npos) return std::nullopt;
        items.push_back(rest.substr(0, end));
        rest.remove_prefix(end + 1);
    }
    return items;
}

void AppendData(std::string& out, const TStoredValue& value) {
    const auto& data = value.Data;
    bool zeroEnded = !data.empty() && data.back() == 0;
    if ((value.Type == REG_SZ || value.Type == REG_EXPAND_SZ) && zeroEnded) {
        out += value.Type == REG_SZ ? "sz:" : "expand_sz:";
        AppendQuoted(out, AsText(data, data.size() - 1));
    } else if (value.Type == REG_DWORD && data.size() == 4) {
        unsigned number = data[0] | data[1] << 8 | data[2] << 16 | unsigned{data[3]} << 24;
        char hex[9];
        std::snprintf(hex, sizeof hex, "%08x", number);
        out += "dword:";
        out += hex;
    } else if (auto items = value.Type == REG_MULTI_SZ ? MultiStrings(data) : std::nullopt) {
        out += "multi_sz:";
        for (std::size_t i = 0; i < items->size(); ++i) {
            if (i) out += ',';
            AppendQuoted(out, (*items)[i]);
        }
    } else if (value.Type == REG_BINARY) {
        out += "binary:";
        AppendHex(out, data);
    } else {
        out += "hex(" + std::to_string(value.Type) + "):";
        AppendHex(out, data);
    }
}

// ---- reading ---------------------------------------------------------------

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    c = Lower(c);
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// Reads a quoted string at the front of `text` and removes it.
std::optional<std::string> TakeQuoted(std::string_view& text) {
    if (text.empty() || text.front() != '"') return std::nullopt;
    std::string result;
    std::size_t i = 1;
    for (; i < text.size() && text[i] != '"'; ++i) {
        if (text[i] != '\\') {
            result += text[i];
            continue;
        }
        if (++i >= text.size()) return std::nullopt;
        if (text[i] == '"' || text[i] == '\\') {
            result += text[i];
        } else if (text[i] == 'x' && i + 2 < text.size() && HexDigit(text[i + 1]) >= 0 &&
                   HexDigit(text[i + 2]) >= 0) {
            result += static_cast<char>(HexDigit(text[i + 1]) * 16 + HexDigit(text[i + 2]));
            i += 2;
        } else {
            return std::nullopt;
        }
    }
    if (i >= text.size()) return std::nullopt;
    text.remove_prefix(i + 1);
    return result;
}

std::optional<std::vector<BYTE>> ParseHex(std::string_view text) {
    std::vector<BYTE> bytes;
    while (!text.empty()) {
        if (!bytes.empty()) {
            if (text.front() != ',') return std::nullopt;
            text.remove_prefix(1);
        }
        if (text.size() < 2 || HexDigit(text[0]) < 0 || HexDigit(text[1]) < 0) return std::nullopt;
        bytes.push_back(static_cast<BYTE>(HexDigit(text[0]) * 16 + HexDigit(text[1])));
        text.remove_prefix(2);
    }
    return bytes;
}

void AppendBytes(std::vector<BYTE>& data, std::string_view text) {
    data.insert(data.end(), text.begin(), text.end());
    data.push_back(0);
}

bool ParseData(std::string_view kind, std::string_view text, TStoredValue& value) {
    if (kind == "sz" || kind == "expand_sz") {
        value.Type = kind == "sz" ? REG_SZ : REG_EXPAND_SZ;
        auto s = TakeQuoted(text);
        if (!s || !text.empty()) return false;
        AppendBytes(value.Data, *s);
        return true;
    }
    if (kind == "dword") {
        if (text.size() != 8) return false;
        unsigned number = 0;
        for (char c : text) {
            if (HexDigit(c) < 0) return false;
            number = number * 16 + static_cast<unsigned>(HexDigit(c));
        }
        value.Type = REG_DWORD;
        for (int i = 0; i < 4; ++i) value.Data.push_back(static_cast<BYTE>(number >> (8 * i)));
        return true;
    }
    if (kind == "multi_sz") {
        value.Type = REG_MULTI_SZ;
        while (!text.empty()) {
            if (!value.Data.empty()) {
                if (text.front() != ',') return false;
                text.remove_prefix(1);
            }
            auto s = TakeQuoted(text);
            if (!s) return false;
            AppendBytes(value.Data, *s);
        }
        value.Data.push_back(0);
        return true;
    }
    std::optional<std::vector<BYTE>> bytes;
    if (kind == "binary") {
        value.Type = REG_BINARY;
    } else if (kind.size() > 5 && kind.substr(0, 4) == "hex(" && kind.back() == ')') {
        std::string_view digits = kind.substr(4, kind.size() - 5);
        if (digits.empty() || digits.size() > 10 ||
            !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; }))
            return false;
        unsigned long long type = std::stoull(std::string(digits));
        if (type > 0xFFFFFFFFull) return false;
        value.Type = static_cast<DWORD>(type);
    } else {
        return false;
    }
    bytes = ParseHex(text);
    if (!bytes) return false;
    value.Data = std::move(*bytes);
    return true;
}

}  // namespace

std::optional<std::string> ParseValueName(std::string_view& line) {
    return TakeQuoted(line);
}

std::optional<TStoredValue> ParseValueLine(std::string_view line) {
    TStoredValue value;
    auto name = TakeQuoted(line);
    if (!name || line.empty() || line.front() != '=') return std::nullopt;
    value.Name = std::move(*name);
    line.remove_prefix(1);
    std::size_t colon = line.find(':');
    if (colon == std::string_view::npos) return std::nullopt;
    if (!ParseData(line.substr(0, colon), line.substr(colon + 1), value)) return std::nullopt;
    return value;
}

bool SameName(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                              [](char x, char y) { return Lower(x) == Lower(y); });
}

bool NameLess(std::string_view a, std::string_view b) {
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        return static_cast<unsigned char>(Lower(x)) < static_cast<unsigned char>(Lower(y));
    });
}

void AppendValueLine(std::string& out, const TStoredValue& value) {
    AppendQuoted(out, value.Name);
    out += '=';
    AppendData(out, value);
    out += '\n';
}

std::string FormatValues(const TValueList& values) {
    std::string out(ValuesFileHeader);
    for (const auto& value : values) AppendValueLine(out, value);
    return out;
}

std::optional<TValueList> ParseValues(std::string_view text) {
    TValueList values;
    while (!text.empty()) {
        std::size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (line.empty() || line.front() == '#') continue;
        auto value = ParseValueLine(line);
        if (!value) return std::nullopt;
        values.push_back(std::move(*value));
    }
    return values;
}

}  // namespace zr::os::regstore
