// Sets of enumeration values as bitmasks, bit 0 for the first value, so a set
// converts to and from the integer masks that form files and defaults use.
#pragma once

#include <cstdint>
#include <initializer_list>

namespace zr {

template <class E>
class Set {
  public:
    constexpr Set() = default;
    constexpr Set(std::initializer_list<E> values) {
        for (E v : values) bits_ |= Bit(v);
    }
    static constexpr Set FromMask(std::uint64_t mask) {
        Set s;
        s.bits_ = mask;
        return s;
    }
    constexpr std::uint64_t Mask() const { return bits_; }
    constexpr bool Contains(E value) const { return (bits_ & Bit(value)) != 0; }
    constexpr bool Empty() const { return bits_ == 0; }
    constexpr Set& Include(E value) {
        bits_ |= Bit(value);
        return *this;
    }
    constexpr Set& Exclude(E value) {
        bits_ &= ~Bit(value);
        return *this;
    }
    constexpr Set operator+(Set other) const { return FromMask(bits_ | other.bits_); }
    constexpr Set operator-(Set other) const { return FromMask(bits_ & ~other.bits_); }
    constexpr Set operator*(Set other) const { return FromMask(bits_ & other.bits_); }
    constexpr bool operator==(const Set&) const = default;

  private:
    static constexpr std::uint64_t Bit(E value) {
        return std::uint64_t{1} << static_cast<unsigned>(value);
    }
    std::uint64_t bits_ = 0;
};

}  // namespace zr
