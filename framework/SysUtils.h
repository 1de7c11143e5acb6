// String, number and file helpers of the framework.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>

#include "DateUtils.h"
#include "Exceptions.h"
#include "Format.h"
#include "FormatSettings.h"

namespace zr {

// ---- integers ----
std::string SignedToStr(std::int64_t value);
std::string UnsignedToStr(std::uint64_t value);
// Upper-case hexadecimal of the bits, padded with zeros to at least `digits` digits.
std::string BitsToHex(std::uint64_t bits, int digits);

template <class T>
requires std::is_integral_v<T> std::string IntToStr(T value) {
    if constexpr (std::is_signed_v<T>)
        return SignedToStr(value);
    else
        return UnsignedToStr(value);
}

// A negative value shows its two's complement in the width of its own type:
// IntToHex(-1, 1) is "FFFFFFFF" for an int and 16 digits for a 64-bit value.
template <class T>
requires std::is_integral_v<T> std::string IntToHex(T value, int digits) {
    using Unsigned = std::make_unsigned_t<T>;
    return BitsToHex(static_cast<Unsigned>(value), digits);
}
// Decimal, or hexadecimal after '$' or "0x"; blanks around the number are
// allowed. Bad text or a value outside 32 bits raises EConvertError
// "'<text>' is not a valid integer value".
int StrToInt(std::string_view text);
int StrToIntDef(std::string_view text, int defaultValue);
std::int64_t StrToInt64(std::string_view text);
std::int64_t StrToInt64Def(std::string_view text, std::int64_t defaultValue);
// The non-raising form: true and `value` set when `text` is an integer.
bool TryStrToInt(std::string_view text, int& value);
bool TryStrToInt64(std::string_view text, std::int64_t& value);

// ---- floating point ----
// General format, 15 significant digits, FormatSettings.DecimalSeparator;
// exponents as "1E20" / "1E-5".
std::string FloatToStr(double value);
std::string FloatToStr(double value, const TFormatSettings& settings);
// Accepts FormatSettings.DecimalSeparator; bad text raises EConvertError
// "'<text>' is not a valid floating point value".
double StrToFloat(std::string_view text);
double StrToFloat(std::string_view text, const TFormatSettings& settings);
double StrToFloatDef(std::string_view text, double defaultValue);
bool TryStrToFloat(std::string_view text, double& value);
bool TryStrToFloat(std::string_view text, double& value, const TFormatSettings& settings);

// ---- strings ----
// Trim* remove blanks and control characters (anything up to ' ').
std::string Trim(std::string_view s);
std::string TrimLeft(std::string_view s);
std::string TrimRight(std::string_view s);
// ASCII letters only; other bytes (UTF-8 included) are left as they are.
std::string UpperCase(std::string_view s);
std::string LowerCase(std::string_view s);
// ASCII case-insensitive comparison: <0, 0 or >0.
int CompareText(std::string_view a, std::string_view b);
bool SameText(std::string_view a, std::string_view b);
int CompareStr(std::string_view a, std::string_view b);

// ---- file names ----
constexpr char PathDelim = '/';
std::string ChangeFileExt(std::string_view fileName, std::string_view extension);
std::string ExtractFileName(std::string_view fileName);
// The folder part, trailing delimiter included ("/a/b/" for "/a/b/c.txt").
std::string ExtractFilePath(std::string_view fileName);
std::string ExtractFileDir(std::string_view fileName);
// The extension with its dot (".txt"), or empty.
std::string ExtractFileExt(std::string_view fileName);
std::string IncludeTrailingPathDelimiter(std::string_view path);
std::string ExcludeTrailingPathDelimiter(std::string_view path);
std::string ExpandFileName(std::string_view fileName);

// ---- files ----
// True for an existing regular file (a directory is not a file).
bool FileExists(std::string_view fileName);
bool DirectoryExists(std::string_view dirName);
bool DeleteFile(std::string_view fileName);
bool RenameFile(std::string_view oldName, std::string_view newName);
bool CreateDir(std::string_view dirName);
bool ForceDirectories(std::string_view dirName);
std::string GetCurrentDir();

// ---- process ----
// ParamStr(0) is the executable's full path; 1..ParamCount() the arguments
// as the process received them; anything else is empty.
std::string ParamStr(int index);
int ParamCount();

}  // namespace zr
