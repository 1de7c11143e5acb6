#include "exception/KVMapFile.h"

#include <cstdint>
#include <string_view>
#include <vector>

#include "framework/ExceptAddr.h"
#include "framework/SysUtils.h"
#include "framework/TypeInfo.h"

namespace zr {

ZR_REGISTER_CLASS(TKVMapFile, c) {}

namespace {

constexpr std::string_view kSegmentsHeader = "Detailed map of segments";
constexpr std::string_view kByNameLong = "Address         Publics by Name";
constexpr std::string_view kByNameShort = "Address Publics by Name";
constexpr std::string_view kByValueLong = "Address         Publics by Value";
constexpr std::string_view kByValueShort = "Address Publics by Value";
constexpr std::string_view kLineBlockHeader = "Line numbers for";

// Fixed columns, counted from 0 here (the map's own columns count from 1).
constexpr size_t kStartColumn = 6;    // segment start and public offset: columns 7 to 14
constexpr size_t kLengthColumn = 15;  // segment length: columns 16 to 23
constexpr size_t kNameColumn = 21;    // public name: column 22 to the end
constexpr size_t kEntryWidth = 20;    // one line-number entry
constexpr size_t kEntryLineWidth = 6;
constexpr size_t kEntryOffsetColumn = 12;
constexpr size_t kOffsetWidth = 8;
constexpr int kEntriesPerLine = 4;

bool Contains(std::string_view line, std::string_view text) {
    return line.find(text) != std::string_view::npos;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// The 8 hexadecimal digits at `column`, read as the framework's StrToInt reads
// "$" and the digits. A field that the line cuts short does not convert.
// Lookups convert every kept line anew, so the usual field of eight digits is
// read here directly; anything else (blanks, signs) goes to StrToInt's rules.
bool ConvertOffset(std::string_view line, size_t column, std::uint32_t& offset) {
    if (line.size() < column + kOffsetWidth) return false;
    std::uint32_t value = 0;
    for (size_t i = column; i < column + kOffsetWidth; ++i) {
        int digit = HexDigit(line[i]);
        if (digit < 0) {
            char text[1 + kOffsetWidth];
            text[0] = '$';
            line.copy(text + 1, kOffsetWidth, column);
            int converted = 0;
            if (!TryStrToInt(std::string_view(text, sizeof text), converted)) return false;
            offset = static_cast<std::uint32_t>(converted);
            return true;
        }
        value = value << 4 | static_cast<std::uint32_t>(digit);
    }
    offset = value;
    return true;
}

// A line number field: decimal, trimmed. Plain digits, as the map writes
// them, are read directly; anything else goes to StrToInt's rules.
bool ConvertLineNumber(std::string_view field, int& number) {
    constexpr size_t kPlainDigits = 9;  // cannot overflow an int
    if (!field.empty() && field.size() <= kPlainDigits &&
        field.find_first_not_of("0123456789") == std::string_view::npos) {
        number = 0;
        for (char c : field) number = number * 10 + (c - '0');
        return true;
    }
    return TryStrToInt(field, number);
}

// Blanks and control characters around a field, as Trim removes them.
std::string_view TrimView(std::string_view text) {
    while (!text.empty() && static_cast<unsigned char>(text.front()) <= ' ') text.remove_prefix(1);
    while (!text.empty() && static_cast<unsigned char>(text.back()) <= ' ') text.remove_suffix(1);
    return text;
}

// The text after "M=" up to, but not including, the character just before
// "ACBP=" (normally the blank that separates them), trimmed; empty when the
// markers stand the other way round.
bool ExtractUnitName(std::string_view line, std::string_view& unit) {
    size_t module = line.find("M=");
    size_t acbp = line.find("ACBP=");
    if (module == std::string_view::npos || acbp == std::string_view::npos) return false;
    size_t first = module + 2;
    unit = acbp >= first + 2 ? TrimView(line.substr(first, acbp - 1 - first)) : std::string_view();
    return true;
}

}  // namespace

TKVMapFile::TKVMapFile()
    : segments_(std::make_unique<TStringList>()),
      publics_(std::make_unique<TStringList>()),
      lineNumbers_(std::make_unique<TStringList>()) {}

TKVMapFile::~TKVMapFile() = default;

void TKVMapFile::SetMapFileName(const std::string& value) {
    if (value == mapFileName_) return;
    mapFileName_ = value;
    mapLoaded_ = false;
}

void TKVMapFile::LoadMapFile() {
    segments_->Clear();
    publics_->Clear();
    lineNumbers_->Clear();
    // Cleared first so that a file that fails to open is tried again by the
    // next lookup instead of leaving empty lists that look loaded.
    mapLoaded_ = false;
    if (!mapFileName_.empty() && FileExists(mapFileName_)) {
        TStringList file;
        file.LoadFromFile(mapFileName_);
        SplitSections(file.Lines());
    }
    mapLoaded_ = true;
}

// A missing header makes its search run to the end of the file, so every
// later section comes out empty.
void TKVMapFile::SplitSections(const std::vector<std::string>& lines) {
    const size_t count = lines.size();
    auto find = [&](size_t from, auto matches) {
        while (from < count && !matches(lines[from])) ++from;
        return from;
    };
    auto append = [&](TStringList& list, size_t from, size_t to) {
        list.BeginUpdate();
        for (size_t i = from; i < to; ++i) list.Add(lines[i]);
        list.EndUpdate();
    };

    size_t i = find(0, [](const std::string& l) { return Contains(l, kSegmentsHeader); });
    i = std::min(count, i + 2);  // the header and the line after it
    size_t stop = find(i, [](const std::string& l) {
        return Contains(l, kByNameLong) || Contains(l, kByNameShort);
    });
    append(*segments_, i, stop);

    i = find(stop, [](const std::string& l) {
        return Contains(l, kByValueLong) || Contains(l, kByValueShort);
    });
    i = std::min(count, i + 3);  // the header and the two lines after it
    stop = find(i, [](const std::string& l) { return Contains(l, kLineBlockHeader); });
    append(*publics_, i, stop);
    append(*lineNumbers_, stop, count);
}

void TKVMapFile::ResetResults() {
    codeOffset_ = 0;
    lineNumber_ = 0;
    procedureName_.clear();
    unitName_.clear();
    dataLoaded_ = false;
}

void TKVMapFile::LoadExceptionData(const void* address) {
    ResetResults();
    if (!mapLoaded_) LoadMapFile();
    if (address == nullptr) address = ExceptAddr();
    if (address == nullptr) return;
    const auto value = reinterpret_cast<std::uintptr_t>(address);
    codeOffset_ = static_cast<std::uint32_t>(value) - codeBase_;
    // A map describes 32-bit addresses only. An address beyond them (in a
    // shared library, reported as it is) would wrap onto unrelated code of
    // the executable, so it is left unresolved instead.
    if (value <= UINT32_MAX) {
        const TMapSourceView found = Resolve(codeOffset_);
        unitName_ = found.Unit;
        procedureName_ = found.Procedure;
        lineNumber_ = found.Line;
    }
    dataLoaded_ = true;
}

TKVMapFile::TMapSourceView TKVMapFile::Resolve(std::uint32_t codeOffset) const {
    TMapSourceView found;
    found.Unit = ResolveUnit(codeOffset);
    found.Procedure = ResolveProcedure(codeOffset);
    found.Line = ResolveLine(codeOffset, found.Unit);
    return found;
}

// The unit of the last segment line at or below the offset, before the first
// line that starts above it. Lines are taken in file order whatever their
// segment number; the length must convert but is not compared.
std::string_view TKVMapFile::ResolveUnit(std::uint32_t codeOffset) const {
    std::string_view unitName;
    for (const std::string& line : segments_->Lines()) {
        std::uint32_t start = 0, length = 0;
        if (line.empty() || !ConvertOffset(line, kStartColumn, start) ||
            !ConvertOffset(line, kLengthColumn, length))
            continue;
        if (start > codeOffset) break;
        std::string_view unit;
        if (ExtractUnitName(line, unit)) unitName = unit;
    }
    return unitName;
}

// The public at the offset, else the line before the first public above it,
// whatever that line holds. The first entry has no line before it, so the
// scan then goes on to the next line, whose predecessor is the first entry.
std::string_view TKVMapFile::ResolveProcedure(std::uint32_t codeOffset) const {
    const std::vector<std::string>& lines = publics_->Lines();
    for (size_t i = 0; i < lines.size(); ++i) {
        std::uint32_t offset = 0;
        if (lines[i].empty() || !ConvertOffset(lines[i], kStartColumn, offset)) continue;
        if (offset < codeOffset) continue;
        if (offset != codeOffset && i == 0) continue;
        std::string_view taken = offset == codeOffset ? lines[i] : lines[i - 1];
        return taken.size() > kNameColumn ? TrimView(taken.substr(kNameColumn)) : "";
    }
    return {};
}

// Reads the first block whose header holds the unit's name. The line is that
// of the last entry at or below the offset, as long as the block has an entry
// at or above the offset; a line with a bad entry ends there.
int TKVMapFile::ResolveLine(std::uint32_t codeOffset, std::string_view unitName) const {
    if (unitName.empty()) return 0;
    const std::vector<std::string>& lines = lineNumbers_->Lines();
    size_t header = 0;
    while (header < lines.size() && (lines[header].empty() || !Contains(lines[header], unitName)))
        ++header;
    if (header == lines.size()) return 0;

    std::int32_t lastLine = 0;
    std::uint32_t lastAddress = 0;
    for (size_t i = header + 2; i < lines.size() && !Contains(lines[i], kLineBlockHeader); ++i) {
        std::string_view line = lines[i];
        for (int k = 0; k < kEntriesPerLine && !line.empty(); ++k) {
            const size_t column = k * kEntryWidth;
            std::uint32_t offset = 0;
            if (!ConvertOffset(line, column + kEntryOffsetColumn, offset)) break;
            lastAddress = offset;
            if (offset > codeOffset) break;
            int number = 0;
            if (!ConvertLineNumber(TrimView(line.substr(column, kEntryLineWidth)), number)) break;
            lastLine = number;
            if (offset == codeOffset) break;
        }
    }
    return codeOffset <= lastAddress ? lastLine : 0;
}

void TKVMapFile::LoadUnitNames(TStrings* list) {
    if (list == nullptr) return;
    list->BeginUpdate();
    try {
        list->Clear();
        if (!mapLoaded_) LoadMapFile();
        for (const std::string& line : segments_->Lines()) {
            std::string_view unit;
            if (line.empty() || !ExtractUnitName(line, unit)) continue;
            try {
                list->Add(std::string(unit));
            } catch (const Exception&) {
                // A list that refuses a name (a sorted list without duplicates)
                // loses that name only.
            }
        }
    } catch (...) {
        list->EndUpdate();
        throw;
    }
    list->EndUpdate();
}

}  // namespace zr
