#include "exception/KVMapFileIndex.h"

#include <algorithm>
#include <unordered_map>
#include <unordered_set>

#include "exception/KVMapFileColumns.h"

namespace zr {

using namespace mapcolumns;

namespace {

// Characters of a line-number entry line. A unit name with any other
// character can only be contained in a line that has it too, so only those
// few lines (the block headers, mostly) need a substring search.
bool IsEntryCharacter(char c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f') || c == ' ' ||
           c == ':' || c == '\t' || c == '\r';
}

bool OnlyEntryCharacters(std::string_view text) {
    return std::all_of(text.begin(), text.end(), IsEntryCharacter);
}

// The first non-empty line holding `unit`, searched among `candidates`.
size_t FirstLineHolding(const std::vector<std::string>& lines,
                        const std::vector<size_t>& candidates, std::string_view unit) {
    for (size_t i : candidates)
        if (!lines[i].empty() && Contains(lines[i], unit)) return i;
    return std::string_view::npos;
}

}  // namespace

int ScanLineBlock(const std::vector<std::string>& lines, size_t header, std::uint32_t codeOffset) {
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

void TKVMapIndex::Build(const std::vector<std::string>& segments,
                        const std::vector<std::string>& publics,
                        const std::vector<std::string>& lineNumbers) {
    *this = TKVMapIndex();
    publics_ = &publics;
    lineNumbers_ = &lineNumbers;
    IndexSegments(segments);
    IndexPublics(publics);
    IndexBlocks(lineNumbers);
}

void TKVMapIndex::IndexSegments(const std::vector<std::string>& segments) {
    unitAfter_.push_back(-1);
    for (const std::string& line : segments) {
        std::uint32_t start = 0, length = 0;
        if (line.empty() || !ConvertOffset(line, kStartColumn, start) ||
            !ConvertOffset(line, kLengthColumn, length))
            continue;
        // The scan ends at the first line starting above the offset: that is
        // the first line whose running maximum is above it.
        segmentStartMax_.push_back(
            segmentStartMax_.empty() ? start : std::max(segmentStartMax_.back(), start));
        std::string_view unit;
        int named = unitAfter_.back();
        if (ExtractUnitName(line, unit)) {
            named = static_cast<int>(units_.size());
            units_.push_back({unit, std::string_view::npos});
        }
        unitAfter_.push_back(named);
    }
}

void TKVMapIndex::IndexPublics(const std::vector<std::string>& publics) {
    for (size_t i = 0; i < publics.size(); ++i) {
        std::uint32_t offset = 0;
        if (publics[i].empty() || !ConvertOffset(publics[i], kStartColumn, offset)) continue;
        publicMax_.push_back(publicMax_.empty() ? offset : std::max(publicMax_.back(), offset));
        if (!publicLine_.empty())
            publicMaxFromSecond_.push_back(publicMaxFromSecond_.empty()
                                               ? offset
                                               : std::max(publicMaxFromSecond_.back(), offset));
        publicLine_.push_back(i);
        publicOffset_.push_back(offset);
    }
}

void TKVMapIndex::IndexBlocks(const std::vector<std::string>& lineNumbers) {
    std::vector<size_t> all, special;
    for (size_t i = 0; i < lineNumbers.size(); ++i) {
        all.push_back(i);
        if (!lineNumbers[i].empty() && !OnlyEntryCharacters(lineNumbers[i])) special.push_back(i);
    }
    std::unordered_map<std::string_view, size_t> headerOfUnit;
    std::unordered_set<size_t> indexed;
    for (TUnit& unit : units_) {
        if (unit.Name.empty()) continue;
        auto known = headerOfUnit.find(unit.Name);
        if (known == headerOfUnit.end()) {
            const size_t header = FirstLineHolding(
                lineNumbers, OnlyEntryCharacters(unit.Name) ? all : special, unit.Name);
            known = headerOfUnit.emplace(unit.Name, header).first;
            // Units named inside another's header share its block.
            if (header != std::string_view::npos && indexed.insert(header).second) BlockOf(header);
        }
        unit.Header = known->second;
    }
    std::sort(blockOfHeader_.begin(), blockOfHeader_.end());
}

// Reads the block below `header` into ascending entries, or marks it to be
// scanned when its entries do not ascend or a line number does not convert.
size_t TKVMapIndex::BlockOf(size_t header) {
    const std::vector<std::string>& lines = *lineNumbers_;
    TBlock block;
    block.Header = header;
    for (size_t i = header + 2;
         i < lines.size() && !Contains(lines[i], kLineBlockHeader) && block.Ascending; ++i) {
        std::string_view line = lines[i];
        for (int k = 0; k < kEntriesPerLine && !line.empty(); ++k) {
            const size_t column = k * kEntryWidth;
            std::uint32_t offset = 0;
            if (!ConvertOffset(line, column + kEntryOffsetColumn, offset)) break;
            int number = 0;
            if (!ConvertLineNumber(TrimView(line.substr(column, kEntryLineWidth)), number) ||
                (!block.Offsets.empty() && offset <= block.Offsets.back())) {
                block.Ascending = false;
                break;
            }
            block.Offsets.push_back(offset);
            block.Lines.push_back(number);
        }
    }
    if (!block.Ascending) block.Offsets.clear(), block.Lines.clear();
    blocks_.push_back(std::move(block));
    blockOfHeader_.emplace_back(header, blocks_.size() - 1);
    return blocks_.size() - 1;
}

TKVMapIndex::TUnit TKVMapIndex::Unit(std::uint32_t codeOffset) const {
    const size_t before =
        std::upper_bound(segmentStartMax_.begin(), segmentStartMax_.end(), codeOffset) -
        segmentStartMax_.begin();
    const int unit = unitAfter_.empty() ? -1 : unitAfter_[before];
    return unit < 0 ? TUnit{} : units_[static_cast<size_t>(unit)];
}

// The first public at or above the offset takes itself when equal, else the
// line before it; the very first line of the list has none before it, so
// the search then goes on among the later publics.
std::string_view TKVMapIndex::Procedure(std::uint32_t codeOffset) const {
    size_t k =
        std::lower_bound(publicMax_.begin(), publicMax_.end(), codeOffset) - publicMax_.begin();
    if (k == publicMax_.size()) return {};
    if (publicLine_[k] == 0 && publicOffset_[k] != codeOffset) {
        k = 1 + (std::lower_bound(publicMaxFromSecond_.begin(), publicMaxFromSecond_.end(),
                                  codeOffset) -
                 publicMaxFromSecond_.begin());
        if (k >= publicLine_.size()) return {};
    }
    const size_t line = publicOffset_[k] == codeOffset ? publicLine_[k] : publicLine_[k] - 1;
    return PublicName((*publics_)[line]);
}

int TKVMapIndex::Line(std::uint32_t codeOffset, size_t header) const {
    if (header == std::string_view::npos) return 0;
    auto found = std::lower_bound(blockOfHeader_.begin(), blockOfHeader_.end(),
                                  std::pair<size_t, size_t>(header, 0));
    if (found == blockOfHeader_.end() || found->first != header) return 0;
    const TBlock& block = blocks_[found->second];
    if (!block.Ascending) return ScanLineBlock(*lineNumbers_, header, codeOffset);
    if (block.Offsets.empty() || codeOffset > block.Offsets.back()) return 0;
    auto above = std::upper_bound(block.Offsets.begin(), block.Offsets.end(), codeOffset);
    if (above == block.Offsets.begin()) return 0;
    return block.Lines[static_cast<size_t>(above - block.Offsets.begin()) - 1];
}

}  // namespace zr
