// Format: printf-like formatting with the framework's directives, checked
// against the arguments at run time so that no format string can misbehave.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <type_traits>

namespace zr {

struct TFormatSettings;

// One argument of Format.
struct TVarRec {
    enum Kind { vtString, vtInteger, vtUnsigned, vtFloat, vtPointer };
    Kind kind;
    std::string_view string{};
    std::int64_t integer = 0;
    std::uint64_t unsignedValue = 0;
    double floating = 0;
    const void* pointer = nullptr;

    TVarRec(const std::string& s) : kind(vtString), string(s) {}
    TVarRec(std::string_view s) : kind(vtString), string(s) {}
    TVarRec(const char* s) : kind(vtString), string(s ? std::string_view(s) : std::string_view()) {}
    TVarRec(char c) = delete;  // ambiguous between a character and a number
    TVarRec(bool) = delete;
    template <class T, std::enable_if_t<std::is_integral_v<T> && std::is_signed_v<T> &&
                                            !std::is_same_v<T, char> && !std::is_same_v<T, bool>,
                                        int> = 0>
    TVarRec(T v) : kind(vtInteger), integer(v) {}
    template <class T, std::enable_if_t<std::is_integral_v<T> && std::is_unsigned_v<T> &&
                                            !std::is_same_v<T, bool>,
                                        int> = 0>
    TVarRec(T v) : kind(vtUnsigned), unsignedValue(v) {}
    TVarRec(double v) : kind(vtFloat), floating(v) {}
    TVarRec(float v) : kind(vtFloat), floating(v) {}
    TVarRec(long double v) : kind(vtFloat), floating(static_cast<double>(v)) {}
    TVarRec(const void* p) : kind(vtPointer), pointer(p) {}
    TVarRec(void* p) : kind(vtPointer), pointer(p) {}
};

// Directives: %[index:][-][width][.precision]type, type one of
// s d u x e f g n m p (upper or lower case), width and precision may be '*'
// (taken from an integer argument), and %% writes '%'. An argument of the
// wrong kind, a missing argument or a broken directive raises EConvertError
// "Format '<format>' invalid or incompatible with argument".
std::string Format(std::string_view format, std::initializer_list<TVarRec> args);
std::string Format(std::string_view format, std::initializer_list<TVarRec> args,
                   const TFormatSettings& settings);
// The same for an argument array built at run time.
std::string Format(std::string_view format, const TVarRec* args, std::size_t count,
                   const TFormatSettings& settings);

}  // namespace zr
