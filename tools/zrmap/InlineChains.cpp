#include "tools/zrmap/InlineChains.h"

#include <dwarf.h>

#include <algorithm>
#include <cstdlib>
#include <optional>
#include <unordered_map>

namespace zr::zrmap {

namespace {

// Deeper chains come only from damaged or hostile debugging information.
constexpr int kDeepestChain = 64;

struct TInlineCall {
    std::vector<TInterval> Ranges;
    std::uint32_t Procedure = 0;
    std::uint32_t CallFile = 0;
    int CallLine = 0;
    std::vector<TInlineCall> Inner;  // calls inlined into this one
};

struct TFunction {
    std::vector<TInterval> Ranges;
    std::vector<TInlineCall> Calls;
};

std::optional<Dwarf_Word> UnsignedAttribute(Dwarf_Die* die, unsigned name) {
    Dwarf_Attribute attribute;
    Dwarf_Word value = 0;
    if (dwarf_attr(die, name, &attribute) == nullptr || dwarf_formudata(&attribute, &value) != 0)
        return std::nullopt;
    return value;
}

// The DIE that names an inlined call: its abstract instance, and that one's
// declaration inside its class when it has one.
bool Origin(Dwarf_Die* die, Dwarf_Die& origin) {
    origin = *die;
    for (unsigned link : {DW_AT_abstract_origin, DW_AT_specification}) {
        Dwarf_Attribute attribute;
        Dwarf_Die next;
        if (dwarf_attr(&origin, link, &attribute) != nullptr &&
            dwarf_formref_die(&attribute, &next) != nullptr)
            origin = next;
    }
    return true;
}

const char* PlainName(Dwarf_Die* die) {
    Dwarf_Attribute attribute;
    if (dwarf_attr_integrate(die, DW_AT_name, &attribute) == nullptr) return nullptr;
    return dwarf_formstring(&attribute);
}

// The name with its namespaces and classes, for a function that has no
// linkage name (a template instance or lambda that exists only inlined).
std::string QualifiedName(Dwarf_Die* origin, const char* name) {
    std::string qualified = name;
    Dwarf_Die* scopes = nullptr;
    const int count = dwarf_getscopes_die(origin, &scopes);
    for (int i = 1; i < count; ++i) {
        const int tag = dwarf_tag(&scopes[i]);
        const char* scope = PlainName(&scopes[i]);
        if (tag == DW_TAG_namespace) {
            qualified.insert(0, std::string(scope != nullptr ? scope : "(anonymous namespace)") + "::");
        } else if (tag == DW_TAG_class_type || tag == DW_TAG_structure_type ||
                   tag == DW_TAG_union_type) {
            qualified.insert(0, std::string(scope != nullptr ? scope : "{lambda}") + "::");
        } else if (tag == DW_TAG_subprogram) {
            // A function's symbol name carries its own scopes.
            Dwarf_Attribute attribute;
            const char* linkage =
                dwarf_attr_integrate(&scopes[i], DW_AT_linkage_name, &attribute) != nullptr
                    ? dwarf_formstring(&attribute)
                    : nullptr;
            if (linkage != nullptr) {
                qualified.insert(0, WithoutCloneSuffixes(Demangle(linkage)) + "::");
                break;
            }
            if (scope != nullptr) qualified.insert(0, std::string(scope) + "::");
        }
    }
    std::free(scopes);
    return qualified;
}

// The inlined function's name as its symbol would read (with its parameter
// types) where it has a linkage name, else its qualified plain name.
std::string InlinedName(Dwarf_Die* die) {
    Dwarf_Attribute attribute;
    for (unsigned name : {DW_AT_linkage_name, DW_AT_MIPS_linkage_name})
        if (dwarf_attr_integrate(die, name, &attribute) != nullptr)
            if (const char* text = dwarf_formstring(&attribute))
                return WithoutCloneSuffixes(Demangle(text));
    Dwarf_Die origin;
    const char* plain = PlainName(die);
    if (plain == nullptr || !Origin(die, origin)) return "?";
    return QualifiedName(&origin, plain);
}

bool Covers(const std::vector<TInterval>& ranges, std::uint32_t offset) {
    return std::any_of(ranges.begin(), ranges.end(),
                       [&](const TInterval& r) { return offset >= r.Start && offset < r.End; });
}

class TUnitCalls {
  public:
    TUnitCalls(Dwarf_Die& unit, std::uint64_t codeStart, const TFileIndex& fileIndex,
               const TNameIndex& nameIndex)
        : codeStart_(codeStart), fileIndex_(fileIndex), nameIndex_(nameIndex) {
        size_t count = 0;
        if (dwarf_getsrcfiles(&unit, &files_, &count) != 0) files_ = nullptr;
    }

    void FindFunctions(Dwarf_Die* parent, std::vector<TFunction>& functions) {
        Dwarf_Die child;
        if (dwarf_child(parent, &child) != 0) return;
        do {
            if (dwarf_tag(&child) == DW_TAG_subprogram && AddFunction(&child, functions)) continue;
            if (dwarf_haschildren(&child)) FindFunctions(&child, functions);
        } while (dwarf_siblingof(&child, &child) == 0);
    }

  private:
    bool AddFunction(Dwarf_Die* die, std::vector<TFunction>& functions) {
        TFunction function;
        CodeRanges(die, codeStart_, function.Ranges);
        if (function.Ranges.empty()) return false;
        FindCalls(die, function.Calls, functions, 0);
        if (!function.Calls.empty()) functions.push_back(std::move(function));
        return true;
    }

    void FindCalls(Dwarf_Die* parent, std::vector<TInlineCall>& calls,
                   std::vector<TFunction>& functions, int depth) {
        Dwarf_Die child;
        if (depth >= kDeepestChain || dwarf_child(parent, &child) != 0) return;
        do {
            const int tag = dwarf_tag(&child);
            if (tag == DW_TAG_inlined_subroutine) {
                TInlineCall call;
                if (Describe(&child, call)) {
                    FindCalls(&child, call.Inner, functions, depth + 1);
                    calls.push_back(std::move(call));
                }
            } else if (tag == DW_TAG_subprogram) {
                AddFunction(&child, functions);  // a function defined inside this one
            } else if (dwarf_haschildren(&child)) {
                FindCalls(&child, calls, functions, depth);  // lexical blocks
            }
        } while (dwarf_siblingof(&child, &child) == 0);
    }

    bool Describe(Dwarf_Die* die, TInlineCall& call) {
        CodeRanges(die, codeStart_, call.Ranges);
        if (call.Ranges.empty()) return false;
        const auto line = UnsignedAttribute(die, DW_AT_call_line);
        const auto file = UnsignedAttribute(die, DW_AT_call_file);
        const char* path = file && files_ != nullptr ? dwarf_filesrc(files_, *file, nullptr, nullptr)
                                                     : nullptr;
        call.CallFile = fileIndex_(path != nullptr ? path : "");
        call.CallLine = line && *line <= INT32_MAX ? static_cast<int>(*line) : 0;
        call.Procedure = NameOf(die);
        return true;
    }

    // Finding a name's scopes walks the unit from its top: once per function.
    std::uint32_t NameOf(Dwarf_Die* die) {
        Dwarf_Attribute attribute;
        Dwarf_Die origin;
        const Dwarf_Off key =
            dwarf_attr(die, DW_AT_abstract_origin, &attribute) != nullptr &&
                    dwarf_formref_die(&attribute, &origin) != nullptr
                ? dwarf_dieoffset(&origin)
                : dwarf_dieoffset(die);
        auto [it, added] = names_.try_emplace(key, 0);
        if (added) it->second = nameIndex_(InlinedName(die));
        return it->second;
    }

    std::uint64_t codeStart_;
    const TFileIndex& fileIndex_;
    const TNameIndex& nameIndex_;
    std::unordered_map<Dwarf_Off, std::uint32_t> names_;
    Dwarf_Files* files_ = nullptr;
};

void AddBoundaries(const std::vector<TInlineCall>& calls, std::vector<std::uint32_t>& out) {
    for (const TInlineCall& call : calls) {
        for (const TInterval& r : call.Ranges) out.push_back(r.Start), out.push_back(r.End);
        AddBoundaries(call.Inner, out);
    }
}

// The calls that run at `offset`, outermost first.
std::vector<const TInlineCall*> ChainAt(const std::vector<TInlineCall>& calls,
                                        std::uint32_t offset) {
    std::vector<const TInlineCall*> chain;
    for (const std::vector<TInlineCall>* level = &calls; level != nullptr;) {
        auto found = std::find_if(level->begin(), level->end(),
                                  [&](const TInlineCall& c) { return Covers(c.Ranges, offset); });
        if (found == level->end()) break;
        chain.push_back(&*found);
        level = &found->Inner;
    }
    return chain;
}

const TLineRow* CoveringRow(const std::vector<TLineRow>& rows, std::uint32_t offset) {
    auto past = std::upper_bound(rows.begin(), rows.end(), offset,
                                 [](std::uint32_t o, const TLineRow& r) { return o < r.Offset; });
    return past == rows.begin() ? nullptr : &*(past - 1);
}

// The innermost function runs at the line table's line; each outer one at
// the line of its call of the next.
std::vector<TInlinedFrame> FramesOf(const std::vector<const TInlineCall*>& chain,
                                    const TLineRow* row) {
    std::vector<TInlinedFrame> frames;
    const bool lined = row != nullptr && !row->EndSequence;
    frames.push_back({chain.back()->Procedure, lined ? row->File : 0, lined ? row->Line : 0});
    for (size_t k = chain.size() - 1; k-- > 0;)
        frames.push_back({chain[k]->Procedure, chain[k + 1]->CallFile, chain[k + 1]->CallLine});
    return frames;
}

void AddStretches(const TFunction& function, const std::vector<TLineRow>& rows,
                  std::vector<TInlinedStretch>& out) {
    std::vector<std::uint32_t> boundaries;
    AddBoundaries(function.Calls, boundaries);
    for (const TInterval& range : function.Ranges) {
        boundaries.push_back(range.Start);
        boundaries.push_back(range.End);
        auto it = std::upper_bound(rows.begin(), rows.end(), range.Start,
                                   [](std::uint32_t o, const TLineRow& r) { return o < r.Offset; });
        for (; it != rows.end() && it->Offset < range.End; ++it) boundaries.push_back(it->Offset);
    }
    std::sort(boundaries.begin(), boundaries.end());
    boundaries.erase(std::unique(boundaries.begin(), boundaries.end()), boundaries.end());
    for (size_t i = 0; i + 1 < boundaries.size(); ++i) {
        const std::uint32_t at = boundaries[i];
        if (!Covers(function.Ranges, at)) continue;
        const std::vector<const TInlineCall*> chain = ChainAt(function.Calls, at);
        if (chain.empty()) continue;
        std::vector<TInlinedFrame> frames = FramesOf(chain, CoveringRow(rows, at));
        if (!out.empty() && out.back().End == at && out.back().Frames == frames)
            out.back().End = boundaries[i + 1];
        else
            out.push_back({at, boundaries[i + 1], std::move(frames)});
    }
}

}  // namespace

void ReadInlinedCalls(Dwarf_Die& unit, const std::vector<TLineRow>& rows, std::uint64_t codeStart,
                      const TFileIndex& fileIndex, const TNameIndex& nameIndex,
                      std::vector<TInlinedStretch>& out) {
    std::vector<TFunction> functions;
    TUnitCalls(unit, codeStart, fileIndex, nameIndex).FindFunctions(&unit, functions);
    for (const TFunction& function : functions) AddStretches(function, rows, out);
}

}  // namespace zr::zrmap
