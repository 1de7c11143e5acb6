// Format: printf-like formatting with the framework's directives, checked
// against the arguments at run time so that no format string can misbehave.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <cstddef>
#include <type_traits>

namespace zr {

struct TFormatSettings;

// One argument of Format: a string, a signed or unsigned integer, a double
// or a pointer. Strings are viewed, not copied: the argument list lives for
// the Format call only.
struct TVarRec {
    enum Kind { vtString, vtInteger, vtUnsigned, vtFloat, vtPointer };
    Kind kind;
    std::string_view string{};
    std::int64_t integer = 0;
    std::uint64_t unsignedValue = 0;
    double floating = 0;
    const void* pointer = nullptr;
    // Made from a type of at most 32 bits: %x and %u of a negative value
    // then show 32 bits, as that type holds them.
    bool narrow = false;

    TVarRec(const std::string& s) : kind(vtString), string(s) {}
    TVarRec(std::string_view s) : kind(vtString), string(s) {}
    TVarRec(const char* s) : kind(vtString), string(s ? std::string_view(s) : std::string_view()) {}
    // A char could mean a letter or a number; say which by converting.
    TVarRec(char) = delete;
    TVarRec(bool) = delete;
    TVarRec(std::nullptr_t) : kind(vtPointer) {}
    template <class T>
    requires(std::is_integral_v<T>&& std::is_signed_v<T> && !std::is_same_v<T, char>) TVarRec(T v)
        : kind(vtInteger), integer(v), narrow(sizeof(T) <= 4) {}
    template <class T>
    requires(std::is_integral_v<T>&& std::is_unsigned_v<T> && !std::is_same_v<T, bool> &&
             !std::is_same_v<T, char>) TVarRec(T v)
        : kind(vtUnsigned), unsignedValue(v), narrow(sizeof(T) <= 4) {}
    TVarRec(double v) : kind(vtFloat), floating(v) {}
    TVarRec(float v) : kind(vtFloat), floating(v) {}
    TVarRec(long double v) : kind(vtFloat), floating(static_cast<double>(v)) {}
    TVarRec(const void* p) : kind(vtPointer), pointer(p) {}
};

// Directives: %[index:][-][width][.precision]type, type one of
// s d u x e f g n m p (upper or lower case), width and precision may be '*'
// (taken from an integer argument), and %% writes '%'. Indexes count from 0;
// the arguments after an indexed one follow it. d u x take integers (the
// precision is a minimum digit count), e f g n m take doubles (d.dddE+ddd,
// fixed, general, fixed with thousands, money; the precision counts
// significant digits for e and g, decimals otherwise), s takes strings (the
// precision cuts them) and p pointers (8 hexadecimal digits, 16 when the
// address needs them). An argument of the
// wrong kind, a missing argument or a broken directive raises EConvertError
// "Format '<format>' invalid or incompatible with argument".
std::string Format(std::string_view format, std::initializer_list<TVarRec> args);
std::string Format(std::string_view format, std::initializer_list<TVarRec> args,
                   const TFormatSettings& settings);
// The same for an argument array built at run time.
std::string Format(std::string_view format, const TVarRec* args, std::size_t count,
                   const TFormatSettings& settings);

}  // namespace zr
