#include "framework/SysUtils.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <clocale>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <limits>
#include <vector>

#include "framework/FloatText.h"
#include "platform/FileContent.h"

namespace zr {

// ---- integers ----

std::string SignedToStr(std::int64_t value) {
    char buffer[24];
    auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    return std::string(buffer, result.ptr);
}

std::string UnsignedToStr(std::uint64_t value) {
    char buffer[24];
    auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    return std::string(buffer, result.ptr);
}

std::string BitsToHex(std::uint64_t bits, int digits) {
    char buffer[24];
    auto result = std::to_chars(buffer, buffer + sizeof buffer, bits, 16);
    std::string hex(buffer, result.ptr);
    for (char& c : hex)
        if (c >= 'a' && c <= 'f') c = static_cast<char>(c - 'a' + 'A');
    if (digits > 32) digits = 32;
    if (static_cast<int>(hex.size()) < digits) hex.insert(0, digits - hex.size(), '0');
    return hex;
}

namespace {

// Reads an integer as the framework writes them: leading blanks, a sign,
// then decimal digits or '$' / "0x" / 'x' and hexadecimal digits. Hexadecimal
// may use the whole width of `bits` bits (so "$FFFFFFFF" is -1 in 32 bits);
// decimal must fit the signed range.
bool ParseInteger(std::string_view text, int bits, std::int64_t& value) {
    size_t i = 0;
    while (i < text.size() && text[i] == ' ') ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    int base = 10;
    if (i < text.size() && text[i] == '$') {
        base = 16;
        ++i;
    } else if (i < text.size() && (text[i] == 'x' || text[i] == 'X')) {
        base = 16;
        ++i;
    } else if (i + 1 < text.size() && text[i] == '0' &&
               (text[i + 1] == 'x' || text[i + 1] == 'X')) {
        base = 16;
        i += 2;
    }
    if (i >= text.size()) return false;
    std::uint64_t magnitude = 0;
    auto [end, error] =
        std::from_chars(text.data() + i, text.data() + text.size(), magnitude, base);
    if (error != std::errc() || end != text.data() + text.size()) return false;
    // from_chars takes no sign here, but it would take a second '-'.
    if (text[i] == '-' || text[i] == '+') return false;

    const std::uint64_t signedMax = (std::uint64_t{1} << (bits - 1)) - 1;
    if (base == 16) {
        if (bits < 64 && magnitude >> bits != 0) return false;
        // The bits as the signed type of that width.
        std::int64_t asSigned = static_cast<std::int64_t>(magnitude);
        if (bits < 64 && magnitude > signedMax) asSigned -= std::int64_t{1} << bits;
        value = negative ? static_cast<std::int64_t>(0 - static_cast<std::uint64_t>(asSigned))
                         : asSigned;
        return true;
    }
    if (magnitude > signedMax + (negative ? 1 : 0)) return false;
    value =
        negative ? static_cast<std::int64_t>(0 - magnitude) : static_cast<std::int64_t>(magnitude);
    return true;
}

[[noreturn]] void RaiseNotInteger(std::string_view text) {
    throw EConvertError("'" + std::string(text) + "' is not a valid integer value");
}

}  // namespace

bool TryStrToInt64(std::string_view text, std::int64_t& value) {
    return ParseInteger(text, 64, value);
}

bool TryStrToInt(std::string_view text, int& value) {
    std::int64_t wide = 0;
    if (!ParseInteger(text, 32, wide)) return false;
    value = static_cast<int>(wide);
    return true;
}

int StrToInt(std::string_view text) {
    int value = 0;
    if (!TryStrToInt(text, value)) RaiseNotInteger(text);
    return value;
}

int StrToIntDef(std::string_view text, int defaultValue) {
    int value = 0;
    return TryStrToInt(text, value) ? value : defaultValue;
}

std::int64_t StrToInt64(std::string_view text) {
    std::int64_t value = 0;
    if (!TryStrToInt64(text, value)) RaiseNotInteger(text);
    return value;
}

std::int64_t StrToInt64Def(std::string_view text, std::int64_t defaultValue) {
    std::int64_t value = 0;
    return TryStrToInt64(text, value) ? value : defaultValue;
}

// ---- floating point ----

std::string FloatToStr(double value) {
    return FloatToStr(value, FormatSettings);
}

std::string FloatToStr(double value, const TFormatSettings& settings) {
    return GeneralFloatText(value, 15, 0, settings.DecimalSeparator);
}

namespace {

// Checks the shape "[blanks][sign]digits[sep digits][E[sign]digits][blanks]"
// (at least one digit in the mantissa) and writes it with '.' into `plain`.
bool NormalizeFloat(std::string_view text, char decimalSeparator, std::string& plain) {
    size_t i = 0, end = text.size();
    while (i < end && text[i] == ' ') ++i;
    while (end > i && text[end - 1] == ' ') --end;
    if (i < end && (text[i] == '+' || text[i] == '-')) plain += text[i++];
    auto digits = [&] {
        size_t start = i;
        while (i < end && text[i] >= '0' && text[i] <= '9') plain += text[i++];
        return i - start;
    };
    size_t mantissaDigits = digits();
    if (i < end && text[i] == decimalSeparator) {
        plain += '.';
        ++i;
        mantissaDigits += digits();
    }
    if (mantissaDigits == 0) return false;
    if (i < end && (text[i] == 'e' || text[i] == 'E')) {
        plain += 'e';
        ++i;
        if (i < end && (text[i] == '+' || text[i] == '-')) plain += text[i++];
        if (digits() == 0) return false;
    }
    return i == end;
}

locale_t CLocale() {
    static const locale_t locale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(0));
    return locale;
}

}  // namespace

bool TryStrToFloat(std::string_view text, double& value, const TFormatSettings& settings) {
    std::string plain;
    if (!NormalizeFloat(text, settings.DecimalSeparator, plain)) return false;
    errno = 0;
    double result = strtod_l(plain.c_str(), nullptr, CLocale());
    // Too large to hold is an error; too small to hold is simply zero.
    if (errno == ERANGE && std::isinf(result)) return false;
    value = result;
    return true;
}

bool TryStrToFloat(std::string_view text, double& value) {
    return TryStrToFloat(text, value, FormatSettings);
}

double StrToFloat(std::string_view text, const TFormatSettings& settings) {
    double value = 0;
    if (!TryStrToFloat(text, value, settings))
        throw EConvertError("'" + std::string(text) + "' is not a valid floating point value");
    return value;
}

double StrToFloat(std::string_view text) {
    return StrToFloat(text, FormatSettings);
}

double StrToFloatDef(std::string_view text, double defaultValue) {
    double value = 0;
    return TryStrToFloat(text, value) ? value : defaultValue;
}

// ---- strings ----

namespace {
bool IsBlank(char c) {
    return static_cast<unsigned char>(c) <= ' ';
}
char AsciiUpper(char c) {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c;
}
char AsciiLower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c;
}
}  // namespace

std::string TrimLeft(std::string_view s) {
    size_t start = 0;
    while (start < s.size() && IsBlank(s[start])) ++start;
    return std::string(s.substr(start));
}

std::string TrimRight(std::string_view s) {
    size_t end = s.size();
    while (end > 0 && IsBlank(s[end - 1])) --end;
    return std::string(s.substr(0, end));
}

std::string Trim(std::string_view s) {
    size_t start = 0, end = s.size();
    while (start < end && IsBlank(s[start])) ++start;
    while (end > start && IsBlank(s[end - 1])) --end;
    return std::string(s.substr(start, end - start));
}

std::string UpperCase(std::string_view s) {
    std::string result(s);
    for (char& c : result) c = AsciiUpper(c);
    return result;
}

std::string LowerCase(std::string_view s) {
    std::string result(s);
    for (char& c : result) c = AsciiLower(c);
    return result;
}

int CompareText(std::string_view a, std::string_view b) {
    size_t n = std::min(a.size(), b.size());
    for (size_t i = 0; i < n; ++i) {
        int ca = static_cast<unsigned char>(AsciiUpper(a[i]));
        int cb = static_cast<unsigned char>(AsciiUpper(b[i]));
        if (ca != cb) return ca - cb;
    }
    return a.size() < b.size() ? -1 : (a.size() > b.size() ? 1 : 0);
}

bool SameText(std::string_view a, std::string_view b) {
    return a.size() == b.size() && CompareText(a, b) == 0;
}

int CompareStr(std::string_view a, std::string_view b) {
    int order = a.compare(b);
    return order < 0 ? -1 : (order > 0 ? 1 : 0);
}

// ---- file names ----

namespace {

// Where the extension of the last path element starts (its dot), or npos.
// A dot that begins the name ("/home/u/.profile") marks a hidden file, not
// an extension, so the name is never lost by changing an extension.
size_t ExtensionStart(std::string_view fileName) {
    size_t nameStart = fileName.rfind(PathDelim);
    nameStart = nameStart == std::string_view::npos ? 0 : nameStart + 1;
    size_t dot = fileName.rfind('.');
    if (dot == std::string_view::npos || dot <= nameStart) return std::string_view::npos;
    return dot;
}

}  // namespace

std::string ChangeFileExt(std::string_view fileName, std::string_view extension) {
    size_t dot = ExtensionStart(fileName);
    std::string result(fileName.substr(0, dot == std::string_view::npos ? fileName.size() : dot));
    result += extension;
    return result;
}

std::string ExtractFileExt(std::string_view fileName) {
    size_t dot = ExtensionStart(fileName);
    return dot == std::string_view::npos ? std::string() : std::string(fileName.substr(dot));
}

std::string ExtractFileName(std::string_view fileName) {
    size_t slash = fileName.rfind(PathDelim);
    return std::string(slash == std::string_view::npos ? fileName : fileName.substr(slash + 1));
}

std::string ExtractFilePath(std::string_view fileName) {
    size_t slash = fileName.rfind(PathDelim);
    return slash == std::string_view::npos ? std::string()
                                           : std::string(fileName.substr(0, slash + 1));
}

std::string ExtractFileDir(std::string_view fileName) {
    size_t slash = fileName.rfind(PathDelim);
    if (slash == std::string_view::npos) return {};
    // The root keeps its delimiter: the folder of "/a" is "/".
    return std::string(fileName.substr(0, slash == 0 ? 1 : slash));
}

std::string IncludeTrailingPathDelimiter(std::string_view path) {
    std::string result(path);
    if (result.empty() || result.back() != PathDelim) result += PathDelim;
    return result;
}

std::string ExcludeTrailingPathDelimiter(std::string_view path) {
    std::string result(path);
    while (result.size() > 1 && result.back() == PathDelim) result.pop_back();
    return result;
}

std::string ExpandFileName(std::string_view fileName) {
    std::string full = !fileName.empty() && fileName[0] == PathDelim
                           ? std::string(fileName)
                           : IncludeTrailingPathDelimiter(GetCurrentDir()) + std::string(fileName);
    // Resolve "." and ".." by text, as the name may not exist yet.
    std::vector<std::string> parts;
    size_t start = 1;
    while (start <= full.size()) {
        size_t end = full.find(PathDelim, start);
        if (end == std::string::npos) end = full.size();
        std::string part = full.substr(start, end - start);
        if (part == "..") {
            if (!parts.empty()) parts.pop_back();
        } else if (!part.empty() && part != ".") {
            parts.push_back(std::move(part));
        }
        start = end + 1;
    }
    std::string result;
    for (const std::string& part : parts) result += PathDelim + part;
    return result.empty() ? std::string(1, PathDelim) : result;
}

// ---- files ----

namespace {
bool StatMode(std::string_view name, mode_t type) {
    struct stat info {};
    return !name.empty() && stat(std::string(name).c_str(), &info) == 0 &&
           (info.st_mode & S_IFMT) == type;
}
}  // namespace

bool FileExists(std::string_view fileName) {
    return StatMode(fileName, S_IFREG);
}

bool DirectoryExists(std::string_view dirName) {
    return StatMode(dirName, S_IFDIR);
}

bool DeleteFile(std::string_view fileName) {
    return !fileName.empty() && unlink(std::string(fileName).c_str()) == 0;
}

bool RenameFile(std::string_view oldName, std::string_view newName) {
    return rename(std::string(oldName).c_str(), std::string(newName).c_str()) == 0;
}

bool CreateDir(std::string_view dirName) {
    return !dirName.empty() && mkdir(std::string(dirName).c_str(), 0777) == 0;
}

bool ForceDirectories(std::string_view dirName) {
    std::string dir = ExcludeTrailingPathDelimiter(dirName);
    if (dir.empty()) return false;
    if (DirectoryExists(dir)) return true;
    std::string parent = ExtractFileDir(dir);
    if (!parent.empty() && parent != dir && !ForceDirectories(parent)) return false;
    return CreateDir(dir) || DirectoryExists(dir);  // another process may have made it
}

std::string GetCurrentDir() {
    std::vector<char> buffer(256);
    while (getcwd(buffer.data(), buffer.size()) == nullptr) {
        if (errno != ERANGE) return {};
        buffer.resize(buffer.size() * 2);
    }
    return buffer.data();
}

// ---- process ----

namespace {

struct TCommandLine {
    std::string executable;
    std::vector<std::string> arguments;  // argv[0] included
};

const TCommandLine& CommandLine() {
    static const TCommandLine line = [] {
        TCommandLine result;
        std::string all;
        os::ReadFileContent("/proc/self/cmdline", all);
        size_t start = 0;
        while (start < all.size()) {
            size_t end = all.find('\0', start);
            if (end == std::string::npos) end = all.size();
            result.arguments.push_back(all.substr(start, end - start));
            start = end + 1;
        }
        char path[4096];
        ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
        if (length > 0)
            result.executable.assign(path, static_cast<size_t>(length));
        else if (!result.arguments.empty())
            result.executable = ExpandFileName(result.arguments[0]);
        return result;
    }();
    return line;
}

// Read while the process starts, before anything could rewrite its arguments.
[[maybe_unused]] const TCommandLine& gCommandLineAtStart = CommandLine();

}  // namespace

std::string ParamStr(int index) {
    const TCommandLine& line = CommandLine();
    if (index == 0) return line.executable;
    if (index < 0 || static_cast<size_t>(index) >= line.arguments.size()) return {};
    return line.arguments[index];
}

int ParamCount() {
    const TCommandLine& line = CommandLine();
    return line.arguments.empty() ? 0 : static_cast<int>(line.arguments.size()) - 1;
}

}  // namespace zr
