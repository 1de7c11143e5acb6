#include "tools/zrmap/OuterLines.h"

#include <dwarf.h>

#include <algorithm>
#include <cstring>
#include <optional>

namespace zr::zrmap {

namespace {

// A stretch of a function that runs code inlined at one of its own lines.
struct TCallSite {
    TInterval Range;
    std::uint32_t File = 0;
    int Line = 0;
};

struct TFunctionCode {
    std::vector<TInterval> Ranges;
    std::vector<TCallSite> Calls;  // the outermost inlined calls only
};

bool RowBefore(const TLineRow& a, const TLineRow& b) {
    if (a.Offset != b.Offset) return a.Offset < b.Offset;
    return a.EndSequence && !b.EndSequence;
}

std::optional<Dwarf_Word> UnsignedAttribute(Dwarf_Die* die, unsigned name) {
    Dwarf_Attribute attribute;
    Dwarf_Word value = 0;
    if (dwarf_attr(die, name, &attribute) == nullptr || dwarf_formudata(&attribute, &value) != 0)
        return std::nullopt;
    return value;
}

class TUnitWalk {
  public:
    TUnitWalk(Dwarf_Die& unit, std::uint64_t codeStart, const TFileIndex& fileIndex)
        : codeStart_(codeStart), fileIndex_(fileIndex) {
        size_t count = 0;
        if (dwarf_getsrcfiles(&unit, &files_, &count) != 0) files_ = nullptr;
    }

    // Every function with code, wherever it is declared (namespaces, classes,
    // other functions).
    void FindFunctions(Dwarf_Die* parent, std::vector<TFunctionCode>& functions) {
        Dwarf_Die child;
        if (dwarf_child(parent, &child) != 0) return;
        do {
            if (dwarf_tag(&child) == DW_TAG_subprogram && AddFunction(&child, functions)) continue;
            if (dwarf_haschildren(&child)) FindFunctions(&child, functions);
        } while (dwarf_siblingof(&child, &child) == 0);
    }

  private:
    // False for a declaration or an abstract instance: no code of its own.
    bool AddFunction(Dwarf_Die* die, std::vector<TFunctionCode>& functions) {
        TFunctionCode code;
        CodeRanges(die, codeStart_, code.Ranges);
        if (code.Ranges.empty()) return false;
        FindCalls(die, code.Calls, functions);
        functions.push_back(std::move(code));
        return true;
    }

    // The inlined calls directly in a function's body (inside its blocks, but
    // not inside another inlined call: only the outermost frame counts).
    void FindCalls(Dwarf_Die* parent, std::vector<TCallSite>& calls,
                   std::vector<TFunctionCode>& functions) {
        Dwarf_Die child;
        if (dwarf_child(parent, &child) != 0) return;
        do {
            const int tag = dwarf_tag(&child);
            if (tag == DW_TAG_inlined_subroutine) {
                AddCall(&child, calls);
            } else if (tag == DW_TAG_subprogram) {
                AddFunction(&child, functions);  // a function defined inside this one
            } else if (dwarf_haschildren(&child)) {
                FindCalls(&child, calls, functions);
            }
        } while (dwarf_siblingof(&child, &child) == 0);
    }

    void AddCall(Dwarf_Die* die, std::vector<TCallSite>& calls) {
        const auto line = UnsignedAttribute(die, DW_AT_call_line);
        const auto file = UnsignedAttribute(die, DW_AT_call_file);
        if (!line || *line == 0 || *line > INT32_MAX || !file || files_ == nullptr) return;
        const char* path = dwarf_filesrc(files_, *file, nullptr, nullptr);
        if (path == nullptr) return;
        std::vector<TInterval> ranges;
        CodeRanges(die, codeStart_, ranges);
        for (const TInterval& range : ranges)
            calls.push_back({range, fileIndex_(path), static_cast<int>(*line)});
    }

    std::uint64_t codeStart_;
    const TFileIndex& fileIndex_;
    Dwarf_Files* files_ = nullptr;
};

// The last row at or before `offset`: the one whose stretch covers it.
const TLineRow* CoveringRow(const std::vector<TLineRow>& rows, std::uint32_t offset) {
    auto past = std::upper_bound(rows.begin(), rows.end(), offset,
                                 [](std::uint32_t o, const TLineRow& r) { return o < r.Offset; });
    return past == rows.begin() ? nullptr : &*(past - 1);
}

const TCallSite* CallAt(const std::vector<TCallSite>& calls, std::uint32_t offset) {
    auto past =
        std::upper_bound(calls.begin(), calls.end(), offset,
                         [](std::uint32_t o, const TCallSite& c) { return o < c.Range.Start; });
    if (past == calls.begin()) return nullptr;
    const TCallSite& call = *(past - 1);
    return offset < call.Range.End ? &call : nullptr;
}

TLineRow RowAt(std::uint32_t offset, const TLineRow* covering) {
    if (covering == nullptr) return {offset, 0, 0, true};
    return {offset, covering->File, covering->Line, covering->EndSequence};
}

// One row at every offset inside `range` where the outermost line may
// change: the line table's own rows, and the starts and ends of inlined calls.
void AddFunctionRows(const TInterval& range, const std::vector<TCallSite>& calls,
                     const std::vector<TLineRow>& rows, std::vector<TLineRow>& out) {
    std::vector<std::uint32_t> boundaries{range.Start};
    auto it = std::upper_bound(rows.begin(), rows.end(), range.Start,
                               [](std::uint32_t o, const TLineRow& r) { return o < r.Offset; });
    for (; it != rows.end() && it->Offset < range.End; ++it) boundaries.push_back(it->Offset);
    for (const TCallSite& call : calls) {
        if (call.Range.Start > range.Start && call.Range.Start < range.End)
            boundaries.push_back(call.Range.Start);
        if (call.Range.End > range.Start && call.Range.End < range.End)
            boundaries.push_back(call.Range.End);
    }
    std::sort(boundaries.begin(), boundaries.end());
    boundaries.erase(std::unique(boundaries.begin(), boundaries.end()), boundaries.end());
    for (std::uint32_t offset : boundaries) {
        if (const TCallSite* call = CallAt(calls, offset))
            out.push_back({offset, call->File, call->Line, false});
        else
            out.push_back(RowAt(offset, CoveringRow(rows, offset)));
    }
}

std::vector<TInterval> Union(std::vector<TInterval> intervals) {
    std::sort(intervals.begin(), intervals.end(),
              [](const TInterval& a, const TInterval& b) { return a.Start < b.Start; });
    std::vector<TInterval> merged;
    for (const TInterval& i : intervals) {
        if (!merged.empty() && i.Start <= merged.back().End)
            merged.back().End = std::max(merged.back().End, i.End);
        else
            merged.push_back(i);
    }
    return merged;
}

bool Inside(const std::vector<TInterval>& sorted, std::uint32_t offset) {
    auto past = std::upper_bound(sorted.begin(), sorted.end(), offset,
                                 [](std::uint32_t o, const TInterval& i) { return o < i.Start; });
    return past != sorted.begin() && offset < (past - 1)->End;
}

}  // namespace

void CodeRanges(Dwarf_Die* die, std::uint64_t codeStart, std::vector<TInterval>& out) {
    Dwarf_Addr base = 0, start = 0, end = 0;
    for (ptrdiff_t at = 0; (at = dwarf_ranges(die, at, &base, &start, &end)) > 0;) {
        if (start < codeStart || end <= start || end - codeStart > UINT32_MAX) continue;
        out.push_back({static_cast<std::uint32_t>(start - codeStart),
                       static_cast<std::uint32_t>(end - codeStart)});
    }
}

std::vector<TLineRow> OuterFrameRows(Dwarf_Die& unit, const std::vector<TLineRow>& rows,
                                     std::uint64_t codeStart, const TFileIndex& fileIndex) {
    std::vector<TFunctionCode> functions;
    TUnitWalk(unit, codeStart, fileIndex).FindFunctions(&unit, functions);
    std::vector<TInterval> all;
    for (TFunctionCode& function : functions) {
        all.insert(all.end(), function.Ranges.begin(), function.Ranges.end());
        std::sort(
            function.Calls.begin(), function.Calls.end(),
            [](const TCallSite& a, const TCallSite& b) { return a.Range.Start < b.Range.Start; });
    }
    const std::vector<TInterval> covered = Union(std::move(all));

    std::vector<TLineRow> out;
    for (const TLineRow& row : rows)
        if (!Inside(covered, row.Offset)) out.push_back(row);
    for (const TFunctionCode& function : functions)
        for (const TInterval& range : function.Ranges)
            AddFunctionRows(range, function.Calls, rows, out);
    // After a stretch of functions the line table's own word holds again.
    for (const TInterval& stretch : covered) {
        const TLineRow* covering = CoveringRow(rows, stretch.End);
        if (covering == nullptr || covering->Offset != stretch.End)
            out.push_back(RowAt(stretch.End, covering));
    }
    std::stable_sort(out.begin(), out.end(), RowBefore);
    return out;
}

namespace {

// ".cold", ".isra.0", ".constprop.12" … at the end of `name`: its length, or 0.
size_t CloneSuffixLength(const std::string& name) {
    static const char* const kinds[] = {".cold", ".isra", ".constprop", ".part", ".lto_priv"};
    size_t end = name.size();
    while (end > 0 && name[end - 1] >= '0' && name[end - 1] <= '9') --end;
    if (end < name.size()) {  // digits: a number after its kind
        if (end == 0 || name[end - 1] != '.') return 0;
        --end;
    }
    for (const char* kind : kinds) {
        const size_t length = std::strlen(kind);
        if (end >= length && name.compare(end - length, length, kind) == 0)
            return name.size() - (end - length);
    }
    return 0;
}

}  // namespace

std::string WithoutCloneSuffixes(std::string name) {
    for (size_t at; (at = name.find(" [clone .")) != std::string::npos;) {
        const size_t close = name.find(']', at);
        name.erase(at, close == std::string::npos ? std::string::npos : close + 1 - at);
    }
    while (const size_t length = CloneSuffixLength(name)) name.resize(name.size() - length);
    return name;
}

}  // namespace zr::zrmap
