#include "framework/Identifiers.h"

#include <locale.h>
#include <wctype.h>

namespace zr {

namespace {

bool IsAsciiLetter(unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
}

struct Decoded {
    char32_t code = 0;
    size_t length = 0;
};

Decoded DecodeSequence(std::string_view text, size_t pos) {
    if (pos >= text.size()) return {};
    const auto lead = static_cast<unsigned char>(text[pos]);
    size_t length = 0;
    char32_t code = 0;
    char32_t least = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2, code = lead & 0x1F, least = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3, code = lead & 0x0F, least = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4, code = lead & 0x07, least = 0x10000;
    } else {
        return {};
    }
    if (pos + length > text.size()) return {};
    for (size_t i = 1; i < length; ++i) {
        const auto byte = static_cast<unsigned char>(text[pos + i]);
        if ((byte & 0xC0) != 0x80) return {};
        code = (code << 6) | (byte & 0x3F);
    }
    if (code < least || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return {};
    return {code, length};
}

// The C library's character classes for Unicode, independent of the
// process locale (which may well be plain "C").
locale_t UnicodeClasses() {
    static const locale_t classes = newlocale(LC_CTYPE_MASK, "C.UTF-8", nullptr);
    return classes;
}

bool IsUnicodeNameChar(char32_t code, bool first) {
    const locale_t classes = UnicodeClasses();
    if (!classes) return false;  // no Unicode tables here: ASCII names only
    const auto wide = static_cast<wint_t>(code);
    return first ? iswalpha_l(wide, classes) != 0 : iswalnum_l(wide, classes) != 0;
}

}  // namespace

char32_t DecodeUtf8Sequence(std::string_view text, size_t pos, size_t& length) {
    const Decoded decoded = DecodeSequence(text, pos);
    length = decoded.length;
    return decoded.code;
}

size_t IdentCharLength(std::string_view text, size_t pos, bool first) {
    if (pos >= text.size()) return 0;
    const auto c = static_cast<unsigned char>(text[pos]);
    if (c < 0x80) return IsAsciiLetter(c) || (!first && c >= '0' && c <= '9') ? 1 : 0;
    const Decoded decoded = DecodeSequence(text, pos);
    if (decoded.length == 0 || !IsUnicodeNameChar(decoded.code, first)) return 0;
    return decoded.length;
}

bool IsValidIdent(std::string_view name) {
    if (name.empty()) return false;
    for (size_t pos = 0; pos < name.size();) {
        const size_t length = IdentCharLength(name, pos, pos == 0);
        if (length == 0) return false;
        pos += length;
    }
    return true;
}

}  // namespace zr
