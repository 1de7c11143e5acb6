#include "exception/KVMapFile.h"

#include <cstdint>
#include <string_view>
#include <vector>

#include "exception/KVMapFileColumns.h"
#include "exception/KVMapFileIndex.h"
#include "framework/ExceptAddr.h"
#include "framework/SysUtils.h"
#include "framework/TypeInfo.h"

namespace zr {

using namespace mapcolumns;

ZR_REGISTER_CLASS(TKVMapFile, c) {}

namespace {

constexpr std::string_view kSegmentsHeader = "Detailed map of segments";
constexpr std::string_view kByNameLong = "Address         Publics by Name";
constexpr std::string_view kByNameShort = "Address Publics by Name";
constexpr std::string_view kByValueLong = "Address         Publics by Value";
constexpr std::string_view kByValueShort = "Address Publics by Value";
constexpr std::string_view kGapMarker = " G=(gap) ";

// The file in "Line numbers for <unit>(<file>) segment .text"; a view into
// the line, so that a last report may ask for it too.
std::string_view FileOfLineBlock(std::string_view header, std::string_view unit) {
    const size_t at = header.find(unit);
    if (at == std::string_view::npos) return {};
    const size_t open = header.find('(', at + unit.size());
    const size_t close = header.rfind(')');
    if (open == std::string_view::npos || close == std::string_view::npos || close <= open)
        return {};
    return header.substr(open + 1, close - open - 1);
}

}  // namespace

TKVMapFile::TKVMapFile()
    : segments_(std::make_unique<TStringList>()),
      publics_(std::make_unique<TStringList>()),
      lineNumbers_(std::make_unique<TStringList>()),
      index_(std::make_unique<TKVMapIndex>()),
      inlined_(std::make_unique<TKVMapInlined>()) {}

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
    inlined_->Clear();
    // The index must never point into lines that are gone.
    index_->Build(segments_->Lines(), publics_->Lines(), lineNumbers_->Lines());
    // Cleared first so that a file that fails to open is tried again by the
    // next lookup instead of leaving empty lists that look loaded.
    mapLoaded_ = false;
    if (!mapFileName_.empty() && FileExists(mapFileName_)) {
        TStringList file;
        file.LoadFromFile(mapFileName_);
        SplitSections(file.Lines());
    }
    index_->Build(segments_->Lines(), publics_->Lines(), lineNumbers_->Lines());
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
    for (size_t k = 0; k < i; ++k) inlined_->AddLine(lines[k]);
    inlined_->Finish();
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
    sourceFile_.clear();
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
        sourceFile_ = found.File;
    }
    dataLoaded_ = true;
}

TKVMapFile::TMapSourceView TKVMapFile::Resolve(std::uint32_t codeOffset) const {
    TMapSourceView found;
    const TKVMapIndex::TUnit unit = index_->Unit(codeOffset);
    found.Unit = unit.Name;
    found.Procedure = index_->Procedure(codeOffset);
    found.Line = index_->Line(codeOffset, unit.Header);
    if (unit.Header != std::string_view::npos)
        found.File = FileOfLineBlock(lineNumbers_->Lines()[unit.Header], unit.Name);
    return found;
}

TKVMapFile::TMapSourceView TKVMapFile::ResolveByScan(std::uint32_t codeOffset) const {
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
        return PublicName(offset == codeOffset ? lines[i] : lines[i - 1]);
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

    return ScanLineBlock(lines, header, codeOffset);
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
            if (unit.empty() && Contains(line, kGapMarker)) continue;  // code of no unit
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
