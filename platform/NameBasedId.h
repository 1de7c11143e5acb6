// Name-based 128-bit identifiers (version 5: SHA-1 of a namespace and a
// name): the same namespace and name give the same identifier on every
// machine, with no table to share, and different names practically never
// meet. Anyone can recompute one, e.g. python3's uuid.uuid5(namespace, name).
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace zr::os {

using TId128 = std::array<std::uint8_t, 16>;

// The version 5 identifier of `name` (its bytes as given) in `nameSpace`.
TId128 NameBasedId(const TId128& nameSpace, std::string_view name);

// 32 lowercase hexadecimal digits, without dashes.
std::string Id128Hex(const TId128& id);

// The SHA-1 digest of `bytes`.
std::array<std::uint8_t, 20> Sha1(std::string_view bytes);

}  // namespace zr::os
