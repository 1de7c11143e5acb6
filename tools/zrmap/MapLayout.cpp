#include "tools/zrmap/MapLayout.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <map>
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
        ranges.push_back({f.Offset, end, f.Name});
    }
    return ranges;
}

bool Usable(const TLineRow& row) {
    return !row.EndSequence && row.Line > 0 && row.Line <= kLargestMapLine;
}

// A stretch of code that one line row covers: from its offset to the next
// row's. Its unit is the unit of the row's own file, whatever function the
// stretch lies in: a function's first row may come from another file than
// the rows of its body (a std::function handler starts in the library's
// header and runs the lambda of the file that made it).
struct TStretch {
    std::uint32_t Start = 0;
    std::uint32_t End = 0;
    int Line = 0;
    std::string Unit;
    std::string File;  // base name, for the block header
};

std::vector<TStretch> LineStretches(const TProgramImage& image) {
    std::vector<TStretch> stretches;
    const std::vector<TLineRow>& rows = image.Rows;
    for (size_t i = 0; i < rows.size();) {
        // Of the rows at one offset the last covers the code; an end row
        // among them closes the stretch before.
        size_t next = i;
        while (next < rows.size() && rows[next].Offset == rows[i].Offset) ++next;
        const TLineRow& row = rows[next - 1];
        if (Usable(row) && next < rows.size()) {
            const std::string& path = image.Files[row.File];
            std::string unit = UnitNameOf(path);
            if (!unit.empty())
                stretches.push_back({row.Offset, rows[next].Offset, row.Line, std::move(unit),
                                     path.substr(path.find_last_of('/') + 1)});
        }
        i = next;
    }
    return stretches;
}

// The reader takes the entries of a block in order and cannot tell two
// entries at one offset apart, so they are sorted and made unique, a real
// line winning over the end of a neighbouring stretch; an entry on the line
// of the one before it says nothing new.
void FinishEntries(std::vector<TMapLineEntry>& entries) {
    std::stable_sort(entries.begin(), entries.end(), [](const auto& a, const auto& b) {
        return std::make_tuple(a.Offset, a.Line == 0) < std::make_tuple(b.Offset, b.Line == 0);
    });
    entries.erase(std::unique(entries.begin(), entries.end(),
                              [](const auto& a, const auto& b) { return a.Offset == b.Offset; }),
                  entries.end());
    entries.erase(std::unique(entries.begin(), entries.end(),
                              [](const auto& a, const auto& b) { return a.Line == b.Line; }),
                  entries.end());
}

// One segment per run of adjacent stretches of one unit.
std::vector<TMapSegment> BuildSegments(const std::vector<TStretch>& stretches) {
    std::vector<TMapSegment> segments;
    std::uint32_t runEnd = 0;
    for (const TStretch& s : stretches) {
        if (segments.empty() || segments.back().Unit != s.Unit || runEnd != s.Start)
            segments.push_back({s.Start, 0, s.Unit});
        runEnd = s.End;
        segments.back().Length = runEnd - segments.back().Start;
    }
    return segments;
}

// Each unit's entries: every stretch's line, and a line 0 where it ends,
// which the next stretch of the unit replaces when it follows at once. So
// code of another unit, padding or code without lines has no line here.
std::vector<TMapLineBlock> BuildLineBlocks(const std::vector<TStretch>& stretches) {
    std::map<std::string, size_t> unitIndex;
    std::vector<TMapLineBlock> blocks;  // in the order of their first code
    for (const TStretch& s : stretches) {
        auto [it, added] = unitIndex.try_emplace(s.Unit, blocks.size());
        if (added) blocks.push_back({s.Unit, s.File, {}});
        std::vector<TMapLineEntry>& entries = blocks[it->second].Entries;
        entries.push_back({s.Start, s.Line});
        entries.push_back({s.End, 0});
    }
    for (TMapLineBlock& block : blocks) FinishEntries(block.Entries);
    return blocks;
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

// Code between two units' segments, or after the last, that holds a function
// of its own belongs to neither: a segment without a unit says where the unit
// before it ends. Code without lines inside a function (padding, line 0)
// stays with the function's unit.
void AddSegmentsWithoutUnit(std::vector<TMapSegment>& segments,
                            const std::vector<TCodeRange>& ranges, std::uint64_t codeSize) {
    std::vector<TMapSegment> gaps;
    auto addGap = [&](std::uint64_t from, std::uint64_t to) {
        auto f = std::lower_bound(ranges.begin(), ranges.end(), from,
                                  [](const TCodeRange& r, std::uint64_t o) { return r.Start < o; });
        if (f != ranges.end() && f->Start < to)
            gaps.push_back({f->Start, static_cast<std::uint32_t>(to - f->Start), ""});
    };
    for (size_t i = 0; i < segments.size(); ++i) {
        const std::uint64_t end = std::uint64_t{segments[i].Start} + segments[i].Length;
        const std::uint64_t next = i + 1 < segments.size() ? segments[i + 1].Start
                                   : codeSize > 0 ? std::min<std::uint64_t>(codeSize, UINT32_MAX)
                                                  : UINT32_MAX;
        if (end < next) addGap(end, next);
    }
    segments.insert(segments.end(), gaps.begin(), gaps.end());
    std::stable_sort(segments.begin(), segments.end(),
                     [](const auto& a, const auto& b) { return a.Start < b.Start; });
}

void BuildInlined(const TProgramImage& image, TMapLayout& layout) {
    std::map<std::string, std::uint32_t> index;
    auto intern = [&](const std::string& name) {
        auto [it, added] =
            index.try_emplace(name, static_cast<std::uint32_t>(layout.InlineNames.size()));
        if (added) layout.InlineNames.push_back(name);
        return it->second;
    };
    std::vector<std::uint32_t> unitOfFile(image.Files.size());
    for (size_t i = 0; i < image.Files.size(); ++i) unitOfFile[i] = intern(UnitNameOf(image.Files[i]));
    for (const TInlinedStretch& stretch : image.Inlined) {
        TMapInlinedStretch out{stretch.Start, stretch.End - stretch.Start, {}};
        for (const TInlinedFrame& frame : stretch.Frames)
            out.Frames.push_back({intern(image.Names[frame.Procedure]),
                                  frame.File < unitOfFile.size() ? unitOfFile[frame.File] : intern(""),
                                  frame.Line >= 0 && frame.Line <= kLargestMapLine ? frame.Line : 0});
        layout.Inlined.push_back(std::move(out));
    }
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
    const std::vector<TStretch> stretches = LineStretches(image);
    layout.LineBlocks = OrderBlocks(BuildLineBlocks(stretches));
    layout.Segments = BuildSegments(stretches);
    const std::vector<TCodeRange> ranges = UniqueRanges(image.Functions);
    AddSegmentsWithoutUnit(layout.Segments, ranges, image.CodeSize);
    layout.Publics = BuildPublics(ranges);
    BuildInlined(image, layout);
    return layout;
}

}  // namespace zr::zrmap
