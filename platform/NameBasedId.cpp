#include "platform/NameBasedId.h"

#include <cstring>

namespace zr::os {

namespace {

std::uint32_t RotateLeft(std::uint32_t value, int bits) {
    return value << bits | value >> (32 - bits);
}

void Sha1Block(std::uint32_t state[5], const std::uint8_t* block) {
    std::uint32_t w[80];
    for (int i = 0; i < 16; ++i)
        w[i] = std::uint32_t{block[4 * i]} << 24 | std::uint32_t{block[4 * i + 1]} << 16 |
               std::uint32_t{block[4 * i + 2]} << 8 | block[4 * i + 3];
    for (int i = 16; i < 80; ++i) w[i] = RotateLeft(w[i - 3] ^ w[i - 8] ^ w[i - 14] ^ w[i - 16], 1);
    std::uint32_t a = state[0], b = state[1], c = state[2], d = state[3], e = state[4];
    for (int i = 0; i < 80; ++i) {
        std::uint32_t f, k;
        if (i < 20) {
            f = (b & c) | (~b & d);
            k = 0x5A827999;
        } else if (i < 40) {
            f = b ^ c ^ d;
            k = 0x6ED9EBA1;
        } else if (i < 60) {
            f = (b & c) | (b & d) | (c & d);
            k = 0x8F1BBCDC;
        } else {
            f = b ^ c ^ d;
            k = 0xCA62C1D6;
        }
        const std::uint32_t next = RotateLeft(a, 5) + f + e + k + w[i];
        e = d;
        d = c;
        c = RotateLeft(b, 30);
        b = a;
        a = next;
    }
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
    state[4] += e;
}

}  // namespace

std::array<std::uint8_t, 20> Sha1(std::string_view bytes) {
    std::uint32_t state[5] = {0x67452301, 0xEFCDAB89, 0x98BADCFE, 0x10325476, 0xC3D2E1F0};
    const auto* data = reinterpret_cast<const std::uint8_t*>(bytes.data());
    std::size_t left = bytes.size();
    for (; left >= 64; left -= 64, data += 64) Sha1Block(state, data);
    // The tail, the 0x80 marker and the length in bits fill one or two blocks.
    std::uint8_t tail[128] = {};
    std::memcpy(tail, data, left);
    tail[left] = 0x80;
    const std::size_t tailSize = left < 56 ? 64 : 128;
    const std::uint64_t bits = static_cast<std::uint64_t>(bytes.size()) * 8;
    for (int i = 0; i < 8; ++i) tail[tailSize - 1 - i] = static_cast<std::uint8_t>(bits >> (8 * i));
    for (std::size_t at = 0; at < tailSize; at += 64) Sha1Block(state, tail + at);
    std::array<std::uint8_t, 20> digest;
    for (int i = 0; i < 20; ++i)
        digest[i] = static_cast<std::uint8_t>(state[i / 4] >> (24 - 8 * (i % 4)));
    return digest;
}

TId128 NameBasedId(const TId128& nameSpace, std::string_view name) {
    std::string input(reinterpret_cast<const char*>(nameSpace.data()), nameSpace.size());
    input.append(name);
    const auto digest = Sha1(input);
    TId128 id;
    std::memcpy(id.data(), digest.data(), id.size());
    id[6] = static_cast<std::uint8_t>((id[6] & 0x0F) | 0x50);  // version 5
    id[8] = static_cast<std::uint8_t>((id[8] & 0x3F) | 0x80);  // the standard variant
    return id;
}

std::string Id128Hex(const TId128& id) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string text;
    text.reserve(32);
    for (std::uint8_t byte : id) {
        text += digits[byte >> 4];
        text += digits[byte & 0x0F];
    }
    return text;
}

}  // namespace zr::os
