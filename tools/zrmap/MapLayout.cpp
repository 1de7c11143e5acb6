#include "tools/zrmap/MapLayout.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <map>
#include <optional>
#include <queue>
#include <tuple>

namespace zr::zrmap {

namespace {

// A function as the map sees it: one per start offset, with the widest
// extent of the symbols that share it.
struct TCodeRange {
    std::uint32_t Start = 0;
    std::uint64_t End = 0;  // one past the last byte; equals Start for a size-0 symbol
    std::string Name;
    std::optional<std::uint32_t> File;  // the file of its first line, when it has one
    int FirstLine = 0;
};

// Aliases share an address (a constructor's two entry points, a weak and a
// strong name); the map shows one, preferring the name other code links to.
std::vector<TCodeRange> UniqueRanges(std::vector<TFunctionSymbol> functions) {
    std::sort(functions.begin(), functions.end(), [](const auto& a, const auto& b) {
        return std::tie(a.Offset, a.Binding, a.Name) < std::tie(b.Offset, b.Binding, b.Name);
    });
    std::vector<TCodeRange> ranges;
    for (const TFunctionSymbol& f : functions) {
        std::uint64_t end = std::uint64_t{f.Offset} + f.Size;
        if (!ranges.empty() && ranges.back().Start == f.Offset) {
            ranges.back().End = std::max(ranges.back().End, end);
            continue;
        }
        ranges.push_back({f.Offset, end, f.Name, std::nullopt, 0});
    }
    return ranges;
}

bool Usable(const TLineRow& row) {
    return !row.EndSequence && row.Line > 0 && row.Line <= kLargestMapLine;
}

// The row that says where a function's code comes from: the first row at its
// start (the function's own opening line, before any inlined code at the
// same address), else the row whose stretch covers the start.
const TLineRow* FirstRowOf(const std::vector<TLineRow>& rows, std::uint32_t start) {
    auto at = std::lower_bound(rows.begin(), rows.end(), start,
                               [](const TLineRow& r, std::uint32_t o) { return r.Offset < o; });
    auto past = at;
    for (; past != rows.end() && past->Offset == start; ++past)
        if (Usable(*past)) return &*past;
    // No usable row at the start: the last row up to it decides, and an end
    // row there means no line table covers the start at all.
    if (past == rows.begin()) return nullptr;
    const TLineRow& covering = *(past - 1);
    return Usable(covering) ? &covering : nullptr;
}

void AttachFiles(std::vector<TCodeRange>& ranges, const TProgramImage& image) {
    for (TCodeRange& range : ranges) {
        const TLineRow* row = FirstRowOf(image.Rows, range.Start);
        if (row == nullptr || UnitNameOf(image.Files[row->File]).empty()) continue;
        range.File = row->File;
        range.FirstLine = row->Line;
    }
}

// The entries of one function: its own file's rows inside it, the last row
// at an address winning (earlier ones at the same address cover no code),
// and a run of rows on one line written once. Rows of other files (inlined
// headers) are left out, so their code reports the line that called them.
// An entry of line 0 at the function's end tells the reader that the code
// after it (padding, start-up code without lines, another unit) has no line
// in this unit; it also closes the unit's block after its last function.
void AddFunctionEntries(const TCodeRange& range, const TProgramImage& image,
                        std::uint64_t unitEndSoFar, std::vector<TMapLineEntry>& entries) {
    std::vector<TMapLineEntry> own{{range.Start, range.FirstLine}};
    std::uint64_t end = std::max<std::uint64_t>(range.End, range.Start + std::uint64_t{1});
    auto it = std::lower_bound(image.Rows.begin(), image.Rows.end(), range.Start,
                               [](const TLineRow& r, std::uint32_t o) { return r.Offset < o; });
    for (; it != image.Rows.end() && it->Offset < end; ++it) {
        if (!Usable(*it) || it->File != *range.File) continue;
        if (own.back().Offset != it->Offset)
            own.push_back({it->Offset, it->Line});
        else if (it->Offset != range.Start)  // the opening line stands for the entry point
            own.back().Line = it->Line;
    }
    // A symbol nested in an earlier one of the unit must not end the outer one's lines.
    if (range.End > range.Start && range.End >= unitEndSoFar && range.End <= UINT32_MAX)
        own.push_back({static_cast<std::uint32_t>(range.End), 0});
    for (const TMapLineEntry& entry : own)
        if (entries.empty() || entries.back().Line != entry.Line ||
            entries.back().Offset >= entry.Offset)
            entries.push_back(entry);
}

// The reader takes the entries of a block in order and cannot tell two
// entries at one offset apart, so they are sorted and made unique, a real
// line winning over the end of a neighbouring function.
void FinishEntries(std::vector<TMapLineEntry>& entries) {
    std::stable_sort(entries.begin(), entries.end(), [](const auto& a, const auto& b) {
        return std::make_tuple(a.Offset, a.Line == 0) < std::make_tuple(b.Offset, b.Line == 0);
    });
    entries.erase(std::unique(entries.begin(), entries.end(),
                              [](const auto& a, const auto& b) { return a.Offset == b.Offset; }),
                  entries.end());
}

struct TUnitBuild {
    TMapLineBlock Block;
    std::uint64_t End = 0;
};

std::vector<TMapSegment> BuildSegments(const std::vector<TCodeRange>& ranges,
                                       const std::vector<std::string>& unitOfRange) {
    std::vector<TMapSegment> segments;
    std::uint64_t runEnd = 0;
    bool open = false;
    for (size_t i = 0; i < ranges.size(); ++i) {
        const std::string& unit = unitOfRange[i];
        if (unit.empty()) {
            open = false;
            continue;
        }
        if (!open || segments.back().Unit != unit) {
            segments.push_back({ranges[i].Start, 0, unit});
            runEnd = ranges[i].End;
            open = true;
        }
        runEnd = std::max(runEnd, ranges[i].End);
        segments.back().Length = static_cast<std::uint32_t>(
            std::min<std::uint64_t>(runEnd - segments.back().Start, UINT32_MAX));
    }
    return segments;
}

std::vector<TMapPublic> BuildPublics(const std::vector<TCodeRange>& ranges) {
    std::vector<TMapPublic> publics;
    std::uint64_t end = 0;
    for (const TCodeRange& range : ranges) {
        publics.push_back({range.Start, range.Name});
        end = std::max(end, range.End);
    }
    if (!publics.empty() && end > publics.back().Offset && end <= UINT32_MAX)
        publics.push_back({static_cast<std::uint32_t>(end), kEndOfCodeName});
    return publics;
}

// A name made only of digits, capital hex letters, colons and blanks may
// occur inside an entry line, before its own header.
bool MayMatchEntryLine(const std::string& unit) {
    return unit.find_first_not_of("0123456789ABCDEF: ") == std::string::npos;
}

// Orders the blocks so that each unit's own header is the first line holding
// its name: a unit whose name occurs in another block (its header, or for a
// name that looks like digits, its entries) goes before that block. Otherwise
// the blocks keep their order of first code. Where the rule cannot be met
// for all (two names each inside the other's header), the earlier unit wins.
std::vector<TMapLineBlock> OrderBlocks(std::vector<TMapLineBlock> blocks) {
    const size_t n = blocks.size();
    std::vector<std::string> headers(n);
    for (size_t i = 0; i < n; ++i) headers[i] = LineBlockHeader(blocks[i]);
    std::vector<std::string> entries(n);  // made only when a name may match them
    auto holds = [&](size_t v, const std::string& unit) {
        if (headers[v].find(unit) != std::string::npos) return true;
        if (!MayMatchEntryLine(unit)) return false;
        if (entries[v].empty()) entries[v] = LineBlockEntries(blocks[v]);
        return entries[v].find(unit) != std::string::npos;
    };
    std::vector<std::vector<size_t>> after(n);
    std::vector<size_t> pending(n, 0);
    for (size_t u = 0; u < n; ++u)
        for (size_t v = 0; v < n; ++v)
            if (u != v && holds(v, blocks[u].Unit)) {
                after[u].push_back(v);
                ++pending[v];
            }
    std::priority_queue<size_t, std::vector<size_t>, std::greater<>> ready;
    for (size_t i = 0; i < n; ++i)
        if (pending[i] == 0) ready.push(i);
    std::vector<bool> placed(n, false);
    std::vector<TMapLineBlock> ordered;
    while (ordered.size() < n) {
        size_t next;
        if (!ready.empty()) {
            next = ready.top();
            ready.pop();
        } else {
            next = static_cast<size_t>(std::find(placed.begin(), placed.end(), false) -
                                       placed.begin());
        }
        placed[next] = true;
        ordered.push_back(std::move(blocks[next]));
        for (size_t v : after[next])
            if (--pending[v] == 0 && !placed[v]) ready.push(v);
    }
    return ordered;
}

}  // namespace

std::string UnitNameOf(const std::string& path) {
    std::string name = path.substr(path.find_last_of('/') + 1);
    size_t dot = name.find_last_of('.');
    if (dot != std::string::npos && dot > 0) name.resize(dot);
    return name;
}

std::string LineBlockHeader(const TMapLineBlock& block) {
    return "Line numbers for " + block.Unit + "(" + block.File + ") segment .text";
}

std::string LineBlockEntries(const TMapLineBlock& block) {
    std::string text;
    char entry[32];
    for (size_t i = 0; i < block.Entries.size(); ++i) {
        std::snprintf(entry, sizeof entry, "%6d 0001:%08" PRIX32, block.Entries[i].Line,
                      block.Entries[i].Offset);
        text += entry;
        if (i % 4 == 3 || i + 1 == block.Entries.size()) text += '\n';
    }
    return text;
}

TMapLayout BuildMapLayout(const TProgramImage& image) {
    TMapLayout layout;
    layout.CodeStart = image.CodeStart;
    layout.CodeSize = image.CodeSize;
    std::vector<TCodeRange> ranges = UniqueRanges(image.Functions);
    AttachFiles(ranges, image);

    std::vector<std::string> unitOfRange(ranges.size());
    std::map<std::string, size_t> unitIndex;
    std::vector<TUnitBuild> units;
    for (size_t i = 0; i < ranges.size(); ++i) {
        if (!ranges[i].File) continue;
        const std::string& file = image.Files[*ranges[i].File];
        unitOfRange[i] = UnitNameOf(file);
        auto [it, added] = unitIndex.try_emplace(unitOfRange[i], units.size());
        if (added)
            units.push_back({{unitOfRange[i], file.substr(file.find_last_of('/') + 1), {}}, 0});
        TUnitBuild& unit = units[it->second];
        AddFunctionEntries(ranges[i], image, unit.End, unit.Block.Entries);
        unit.End = std::max(unit.End, ranges[i].End);
    }
    for (TUnitBuild& unit : units) {
        FinishEntries(unit.Block.Entries);
        layout.LineBlocks.push_back(std::move(unit.Block));
    }
    layout.LineBlocks = OrderBlocks(std::move(layout.LineBlocks));
    layout.Segments = BuildSegments(ranges, unitOfRange);
    layout.Publics = BuildPublics(ranges);
    return layout;
}

}  // namespace zr::zrmap
