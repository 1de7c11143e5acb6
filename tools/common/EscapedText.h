// Text from a store shown on a terminal: control characters (an escape
// sequence, a line break, and the C1 controls U+0080 to U+009F that a
// terminal obeys as well) are written as \xNN, byte by byte, so that a stored
// string can neither forge nor hide lines of a tool's listing. Bytes that are
// no part of well-formed UTF-8 are written so too: a terminal that reads
// bytes rather than UTF-8 takes 0x80 to 0x9F for C1 controls.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>

namespace zr::tools {

// The length of the well-formed UTF-8 sequence at `at` (2 to 4), or 0.
inline std::size_t Utf8SequenceAt(const std::string& text, std::size_t at) {
    auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(at);
    std::size_t length = 0;
    unsigned char low = 0x80, high = 0xBF;  // the range of the second byte
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) low = 0xA0;   // no overlong forms
        if (lead == 0xED) high = 0x9F;  // no surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;  // nothing past U+10FFFF
    } else {
        return 0;
    }
    if (text.size() - at < length || byte(at + 1) < low || byte(at + 1) > high) return 0;
    for (std::size_t i = 2; i < length; ++i)
        if (byte(at + i) < 0x80 || byte(at + i) > 0xBF) return 0;
    return length;
}

inline std::string Escaped(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    auto escape = [&](unsigned char byte) {
        char hex[5];
        std::snprintf(hex, sizeof hex, "\\x%02x", byte);
        out += hex;
    };
    for (std::size_t at = 0; at < text.size();) {
        const auto byte = static_cast<unsigned char>(text[at]);
        if (byte < 0x80) {
            if (byte < 0x20 || byte == 0x7F)
                escape(byte);
            else
                out += text[at];
            ++at;
            continue;
        }
        const std::size_t length = Utf8SequenceAt(text, at);
        // U+0080 to U+009F are C2 80 to C2 9F.
        const bool c1 =
            length == 2 && byte == 0xC2 && static_cast<unsigned char>(text[at + 1]) <= 0x9F;
        if (length == 0 || c1) {
            for (std::size_t i = 0; i < (c1 ? 2 : 1); ++i)
                escape(static_cast<unsigned char>(text[at + i]));
            at += c1 ? 2 : 1;
            continue;
        }
        out.append(text, at, length);
        at += length;
    }
    return out;
}

}  // namespace zr::tools
