// Text from a store shown on a terminal: control characters (an escape
// sequence, a line break) are written as \xNN, so that a stored string can
// neither forge nor hide lines of a tool's listing.
#pragma once

#include <cstdio>
#include <string>

namespace zr::tools {

inline std::string Escaped(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F) {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02x", byte);
            out += hex;
        } else {
            out += c;
        }
    }
    return out;
}

}  // namespace zr::tools
