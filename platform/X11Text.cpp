#include "platform/X11Text.h"

namespace zr::os {

namespace {

// The length of the sequence that `lead` starts and the bits it carries;
// 0 for a byte that starts none.
int SequenceLength(std::uint8_t lead, std::uint32_t& bits) {
    if (lead < 0x80) {
        bits = lead;
        return 1;
    }
    if (lead >= 0xC2 && lead <= 0xDF) {
        bits = lead & 0x1F;
        return 2;
    }
    if (lead >= 0xE0 && lead <= 0xEF) {
        bits = lead & 0x0F;
        return 3;
    }
    if (lead >= 0xF0 && lead <= 0xF4) {
        bits = lead & 0x07;
        return 4;
    }
    return 0;
}

bool Acceptable(std::uint32_t codePoint, int length) {
    static constexpr std::uint32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (codePoint < kSmallest[length]) return false;  // an overlong form
    if (codePoint >= 0xD800 && codePoint <= 0xDFFF) return false;
    return codePoint <= 0x10FFFF;
}

}  // namespace

std::vector<std::uint32_t> DecodeUtf8(const std::string& text) {
    std::vector<std::uint32_t> result;
    result.reserve(text.size());
    std::size_t i = 0;
    while (i < text.size()) {
        const auto lead = static_cast<std::uint8_t>(text[i]);
        std::uint32_t codePoint = 0;
        const int length = SequenceLength(lead, codePoint);
        bool valid = length > 0 && i + static_cast<std::size_t>(length) <= text.size();
        for (int k = 1; valid && k < length; ++k) {
            const auto next = static_cast<std::uint8_t>(text[i + static_cast<std::size_t>(k)]);
            if ((next & 0xC0) != 0x80) valid = false;
            codePoint = (codePoint << 6) | (next & 0x3F);
        }
        if (valid && Acceptable(codePoint, length)) {
            result.push_back(codePoint);
            i += static_cast<std::size_t>(length);
        } else {
            result.push_back(lead);
            ++i;
        }
    }
    return result;
}

std::string Utf8ToLatin1(const std::string& text) {
    std::string result;
    result.reserve(text.size());
    for (std::uint32_t codePoint : DecodeUtf8(text))
        result.push_back(codePoint <= 0xFF ? static_cast<char>(codePoint) : '?');
    return result;
}

std::string EncodeUtf8(std::uint32_t codePoint) {
    std::string out;
    if (codePoint < 0x80) {
        out.push_back(static_cast<char>(codePoint));
    } else if (codePoint < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (codePoint >> 6)));
        out.push_back(static_cast<char>(0x80 | (codePoint & 0x3F)));
    } else if (codePoint < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (codePoint >> 12)));
        out.push_back(static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (codePoint & 0x3F)));
    } else if (codePoint <= 0x10FFFF) {
        out.push_back(static_cast<char>(0xF0 | (codePoint >> 18)));
        out.push_back(static_cast<char>(0x80 | ((codePoint >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (codePoint & 0x3F)));
    }
    return out;
}

std::uint32_t KeySymToCodePoint(std::uint32_t keySym) {
    // Latin-1 symbols are their own characters.
    if ((keySym >= 0x20 && keySym <= 0x7E) || (keySym >= 0xA0 && keySym <= 0xFF)) return keySym;
    // Symbols made from a code point carry it.
    if (keySym >= 0x01000100 && keySym <= 0x0110FFFF) return keySym - 0x01000000;
    // The keypad types what its keys show.
    if (keySym >= 0xFFB0 && keySym <= 0xFFB9) return '0' + (keySym - 0xFFB0);
    switch (keySym) {
        case 0xFF80:  // KP_Space
            return ' ';
        case 0xFFAA:  // KP_Multiply
            return '*';
        case 0xFFAB:  // KP_Add
            return '+';
        case 0xFFAC:  // KP_Separator
            return ',';
        case 0xFFAD:  // KP_Subtract
            return '-';
        case 0xFFAE:  // KP_Decimal
            return '.';
        case 0xFFAF:  // KP_Divide
            return '/';
        case 0xFFBD:  // KP_Equal
            return '=';
        default:
            return 0;
    }
}

}  // namespace zr::os
