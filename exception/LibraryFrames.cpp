#include "exception/LibraryFrames.h"

#include <cxxabi.h>
#include <dwarf.h>
#include <elfutils/libdw.h>
#include <fcntl.h>
#include <gelf.h>
#include <link.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "exception/KVMapFile.h"
#include "framework/CodeModules.h"
#include "framework/FaultExceptions.h"
#include "framework/SysUtils.h"

namespace zr {

namespace {

// ---- a library's procedures, by address ----
struct TSymbol {
    std::uint64_t Start = 0;  // the library's own (link-time) address
    std::uint64_t Size = 0;
    std::uint32_t Name = 0;  // offset into TLibraryTable::Names
    bool Global = false;
};

// Never changed once published: a signal handler reads it.
struct TLibraryTable {
    std::string Path;  // as the loader loaded it
    std::string FileName;
    std::uintptr_t Base = 0;
    std::vector<TSymbol> Symbols;  // by start, one per address
    std::string Names;             // demangled, each ending in '\0'
    // The map beside the library, read whole, when there is one; its offsets
    // count from the first code segment.
    std::unique_ptr<TKVMapFile> Map;
    std::uint64_t CodeStart = 0;

    // The procedure holding the library address `at`; null when none does.
    const char* ProcedureAt(std::uint64_t at) const {
        auto after =
            std::upper_bound(Symbols.begin(), Symbols.end(), at,
                             [](std::uint64_t a, const TSymbol& s) { return a < s.Start; });
        if (after == Symbols.begin()) return nullptr;
        const TSymbol& symbol = *(after - 1);
        if (symbol.Size > 0 && at >= symbol.Start + symbol.Size) return nullptr;
        return Names.c_str() + symbol.Name;
    }
};

struct TElfFile {
    int Fd = -1;
    Elf* Image = nullptr;
    explicit TElfFile(const std::string& path) {
        Fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (Fd < 0) return;
        elf_version(EV_CURRENT);
        Image = elf_begin(Fd, ELF_C_READ_MMAP, nullptr);
    }
    ~TElfFile() {
        if (Image != nullptr) elf_end(Image);
        if (Fd >= 0) close(Fd);
    }
    TElfFile(const TElfFile&) = delete;
    TElfFile& operator=(const TElfFile&) = delete;
};

std::string Demangled(const char* name) {
    if (name[0] != '_' || name[1] != 'Z') return name;
    int status = 0;
    char* readable = abi::__cxa_demangle(name, nullptr, nullptr, &status);
    std::string result = status == 0 && readable != nullptr ? readable : name;
    std::free(readable);
    return result;
}

void AddFunctions(Elf* image, Elf_Scn* section, const GElf_Shdr& header,
                  std::vector<std::pair<TSymbol, const char*>>& found) {
    Elf_Data* data = elf_getdata(section, nullptr);
    if (data == nullptr || header.sh_entsize == 0) return;
    const size_t count = header.sh_size / header.sh_entsize;
    for (size_t i = 0; i < count; ++i) {
        GElf_Sym symbol;
        if (gelf_getsym(data, static_cast<int>(i), &symbol) == nullptr) continue;
        const int type = GELF_ST_TYPE(symbol.st_info);
        if ((type != STT_FUNC && type != STT_GNU_IFUNC) || symbol.st_shndx == SHN_UNDEF ||
            symbol.st_value == 0)
            continue;
        const char* name = elf_strptr(image, header.sh_link, symbol.st_name);
        if (name == nullptr || *name == '\0') continue;
        found.push_back(
            {{symbol.st_value, symbol.st_size, 0, GELF_ST_BIND(symbol.st_info) != STB_LOCAL},
             name});
    }
}

std::uint64_t FirstCodeSegment(Elf* image) {
    size_t count = 0;
    if (image == nullptr || elf_getphdrnum(image, &count) != 0) return 0;
    for (size_t i = 0; i < count; ++i) {
        GElf_Phdr header;
        if (gelf_getphdr(image, static_cast<int>(i), &header) != nullptr &&
            header.p_type == PT_LOAD && (header.p_flags & PF_X))
            return header.p_vaddr;
    }
    return 0;
}

// The map beside the library (its name with the extension changed to .map,
// as zrmap writes it); null when there is none or it cannot be read.
std::unique_ptr<TKVMapFile> MapBeside(const std::string& path) {
    const std::string mapName = ChangeFileExt(path, ".map");
    if (!FileExists(mapName)) return nullptr;
    try {
        auto map = std::make_unique<TKVMapFile>();
        map->SetMapFileName(mapName);
        map->LoadMapFile();
        if (map->MapLoaded()) return map;
    } catch (...) {
        // An unreadable map leaves the symbols and debug information to go by.
    }
    return nullptr;
}

// The functions of both symbol tables, one name per address (a global name
// before a local alias).
std::unique_ptr<TLibraryTable> ReadTable(const std::string& path, std::uintptr_t base) {
    auto table = std::make_unique<TLibraryTable>();
    table->Path = path;
    table->FileName = path.substr(path.rfind('/') + 1);
    table->Base = base;
    TElfFile file(path);
    if (file.Image == nullptr) return table;
    table->CodeStart = FirstCodeSegment(file.Image);
    table->Map = MapBeside(path);
    std::vector<std::pair<TSymbol, const char*>> found;
    for (Elf_Scn* section = elf_nextscn(file.Image, nullptr); section != nullptr;
         section = elf_nextscn(file.Image, section)) {
        GElf_Shdr header;
        if (gelf_getshdr(section, &header) == nullptr) continue;
        if (header.sh_type == SHT_SYMTAB || header.sh_type == SHT_DYNSYM)
            AddFunctions(file.Image, section, header, found);
    }
    std::sort(found.begin(), found.end(), [](const auto& a, const auto& b) {
        if (a.first.Start != b.first.Start) return a.first.Start < b.first.Start;
        return a.first.Global > b.first.Global;
    });
    for (const auto& [symbol, name] : found) {
        if (!table->Symbols.empty() && table->Symbols.back().Start == symbol.Start) continue;
        TSymbol kept = symbol;
        kept.Name = static_cast<std::uint32_t>(table->Names.size());
        table->Names += Demangled(name);
        table->Names += '\0';
        table->Symbols.push_back(kept);
    }
    return table;
}

// ---- the prepared tables: appended to, never changed or freed ----
constexpr int kPreparedTables = 512;
struct TPreparedTables {
    std::mutex Lock;  // for those who add
    const TLibraryTable* Tables[kPreparedTables] = {};
    std::atomic<int> Count{0};
    unsigned long long LoaderChanges = ~0ull;  // adds + removals at the last preparation
    std::atomic<bool> Preparing{false};
};
// Never destroyed: a preparing thread may outlive the library's statics.
TPreparedTables& prepared = *new TPreparedTables;

const TLibraryTable* FindPrepared(std::uintptr_t base, const char* fileName) {
    for (int i = prepared.Count.load(std::memory_order_acquire) - 1; i >= 0; --i) {
        const TLibraryTable* table = prepared.Tables[i];
        if (table->Base == base && std::strcmp(table->FileName.c_str(), fileName) == 0)
            return table;
    }
    return nullptr;
}

// A preparation under way (the process faulted right after a log became
// active) is let finish for a while, with async-signal-safe calls only;
// whether one was.
bool WaitForPreparation() {
    constexpr long kPatienceMs = 3000;
    if (!prepared.Preparing.load()) return false;
    for (long waited = 0; prepared.Preparing.load() && waited < kPatienceMs; ++waited) {
        timespec pause{0, 1000000};
        nanosleep(&pause, nullptr);
    }
    return true;
}

// Under prepared.Lock.
const TLibraryTable* AddTable(const std::string& path, std::uintptr_t base) {
    const std::string fileName = path.substr(path.rfind('/') + 1);
    if (const TLibraryTable* known = FindPrepared(base, fileName.c_str())) return known;
    const int count = prepared.Count.load();
    if (count >= kPreparedTables) return nullptr;
    prepared.Tables[count] = ReadTable(path, base).release();
    prepared.Count.store(count + 1, std::memory_order_release);
    return prepared.Tables[count];
}

struct TLoadedLibrary {
    std::string Path;
    std::uintptr_t Base;
};

struct TLoadedList {
    std::vector<TLoadedLibrary> Libraries;
    unsigned long long Changes = 0;
};

int CollectLibrary(dl_phdr_info* info, size_t size, void* data) {
    auto* list = static_cast<TLoadedList*>(data);
    if (size >= offsetof(dl_phdr_info, dlpi_subs) + sizeof info->dlpi_subs)
        list->Changes = info->dlpi_adds + info->dlpi_subs;
    // Files only: the kernel's virtual library has no path (a library the
    // program loaded by a relative path has one).
    if (info->dlpi_name != nullptr && std::strchr(info->dlpi_name, '/') != nullptr)
        list->Libraries.push_back({info->dlpi_name, info->dlpi_addr});
    return 0;
}

TLoadedList LoadedLibraries() {
    TLoadedList list;
    dl_iterate_phdr(CollectLibrary, &list);
    return list;
}

std::string LoaderPathOf(std::uintptr_t base, const char* fileName) {
    for (const TLoadedLibrary& library : LoadedLibraries().Libraries)
        if (library.Base == base && std::strcmp(BaseName(library.Path.c_str()), fileName) == 0)
            return library.Path;
    return {};
}

// ---- unit and line, outside signal handlers ----
struct TLibrarySource {
    std::unique_ptr<TElfFile> File;  // its debug information
    Dwarf* Debug = nullptr;
    // What was found at each address asked for: the same frames come back
    // report after report, and a search of the debug information is long.
    std::map<std::uint64_t, std::string> Found;
};
std::mutex sourcesLock;
constexpr size_t kLibraryFrameSize = 600;  // unit, procedure, line
std::map<std::pair<std::uintptr_t, std::string>, std::unique_ptr<TLibrarySource>>& sources =
    *new std::map<std::pair<std::uintptr_t, std::string>, std::unique_ptr<TLibrarySource>>;

std::unique_ptr<TLibrarySource> OpenSource(const std::string& path) {
    auto source = std::make_unique<TLibrarySource>();
    source->File = std::make_unique<TElfFile>(path);
    if (source->File->Image != nullptr)
        source->Debug = dwarf_begin_elf(source->File->Image, DWARF_C_READ, nullptr);
    return source;
}

TLibrarySource& SourceOf(const std::string& path, std::uintptr_t base) {
    auto& source = sources[{base, path}];
    if (source == nullptr) source = OpenSource(path);
    return *source;
}

// The unit a source file stands for: its name without folder and extension.
std::string_view UnitOfFile(const char* file) {
    std::string_view name = BaseName(file);
    const size_t dot = name.rfind('.');
    return dot == std::string_view::npos || dot == 0 ? name : name.substr(0, dot);
}

struct TSourcePlace {
    const char* File = nullptr;
    int Line = 0;
};

// The first DIE under `parent` (searched depth first, at most `depth`
// levels down) of tag `tag` whose code holds `at`; scopes that cannot hold
// it are passed over whole.
bool FindHolding(Dwarf_Die& parent, std::uint64_t at, int tag, int depth, Dwarf_Die& found) {
    Dwarf_Die child;
    if (depth == 0 || dwarf_child(&parent, &child) != 0) return false;
    do {
        const int childTag = dwarf_tag(&child);
        if (childTag == tag && dwarf_haspc(&child, at) == 1) {
            found = child;
            return true;
        }
        // Code lies at the unit's level or in namespaces (classes only
        // declare their members), inlined calls in procedures and blocks.
        const bool container =
            childTag == DW_TAG_namespace ||
            ((childTag == DW_TAG_lexical_block || childTag == DW_TAG_subprogram) &&
             dwarf_haspc(&child, at) == 1);
        if (container && FindHolding(child, at, tag, depth - 1, found)) return true;
    } while (dwarf_siblingof(&child, &child) == 0);
    return false;
}

// Where the outermost inlined call holding `at` is made: the line of the
// frame's own procedure, as a debugger's backtrace gives it.
bool OutermostInlinedCall(Dwarf_Die& unit, std::uint64_t at, TSourcePlace& place) {
    constexpr int kDepth = 8;
    Dwarf_Die procedure, inlined;
    if (!FindHolding(unit, at, DW_TAG_subprogram, kDepth, procedure) ||
        !FindHolding(procedure, at, DW_TAG_inlined_subroutine, kDepth, inlined))
        return false;
    Dwarf_Attribute attribute;
    Dwarf_Word line = 0, fileIndex = 0;
    Dwarf_Files* files = nullptr;
    size_t fileCount = 0;
    if (dwarf_formudata(dwarf_attr(&inlined, DW_AT_call_line, &attribute), &line) != 0 ||
        dwarf_formudata(dwarf_attr(&inlined, DW_AT_call_file, &attribute), &fileIndex) != 0 ||
        dwarf_getsrcfiles(&unit, &files, &fileCount) != 0 || fileIndex >= fileCount)
        return false;
    place.File = dwarf_filesrc(files, fileIndex, nullptr, nullptr);
    place.Line = static_cast<int>(line);
    return place.File != nullptr;
}

TSourcePlace PlaceInDebugInfo(Dwarf* debug, std::uint64_t at) {
    TSourcePlace place;
    Dwarf_Die unit;
    if (debug == nullptr || dwarf_addrdie(debug, at, &unit) == nullptr) return place;
    if (OutermostInlinedCall(unit, at, place)) return place;
    Dwarf_Line* line = dwarf_getsrc_die(&unit, at);
    if (line == nullptr) return place;
    place.File = dwarf_linesrc(line, nullptr, nullptr);
    if (dwarf_lineno(line, &place.Line) != 0) place.Line = 0;
    return place;
}

// " unit procedure line N" from the library's map; false when it has none
// or names no procedure there. Reads the map as read, so a signal handler
// may call it.
bool AddFromMap(TFixedText& text, const TLibraryTable& table, std::uint64_t at) {
    if (table.Map == nullptr || at < table.CodeStart || at - table.CodeStart > UINT32_MAX)
        return false;
    const auto found = table.Map->Resolve(static_cast<std::uint32_t>(at - table.CodeStart));
    if (found.Procedure.empty()) return false;
    if (!found.Unit.empty()) text.Add(" ").Add(found.Unit.data(), found.Unit.size());
    text.Add(" ").Add(found.Procedure.data(), found.Procedure.size());
    if (found.Line > 0) text.Add(" line ").Decimal(found.Line);
    return true;
}

// " unit" and the line from the debug information, with the procedure of the
// symbol tables between.
void AddSource(TFixedText& text, TLibrarySource& source, std::uint64_t at, const char* procedure) {
    const TSourcePlace place = PlaceInDebugInfo(source.Debug, at);
    const char* file = place.File;
    const int number = place.Line;
    if (file != nullptr) {
        const std::string_view name = UnitOfFile(file);
        text.Add(" ").Add(name.data(), name.size());
    }
    if (procedure != nullptr) text.Add(" ").Add(procedure);
    if (file != nullptr && number > 0) text.Add(" line ").Decimal(number);
}

}  // namespace

void AddLibraryFrameNames(TFixedText& text, const os::TModuleSpot& spot, void* frame, bool first,
                          bool signalSafe) {
    if (!spot.Found) return;
    // A return address lies after its call, possibly in the next procedure.
    const std::uint64_t at = reinterpret_cast<std::uintptr_t>(frame) - spot.Base - (first ? 0 : 1);
    const TLibraryTable* table = FindPrepared(spot.Base, spot.Name);
    if (signalSafe) {
        if (table == nullptr && WaitForPreparation()) table = FindPrepared(spot.Base, spot.Name);
        if (table == nullptr || AddFromMap(text, *table, at)) return;
        if (const char* procedure = table->ProcedureAt(at)) text.Add(" ").Add(procedure);
        return;
    }
    std::string path = table != nullptr ? table->Path : LoaderPathOf(spot.Base, spot.Name);
    if (path.empty()) return;
    if (table == nullptr) {
        std::lock_guard guard(prepared.Lock);
        table = AddTable(path, spot.Base);
    }
    if (table != nullptr && AddFromMap(text, *table, at)) return;
    const char* procedure = table != nullptr ? table->ProcedureAt(at) : nullptr;
    try {
        std::lock_guard guard(sourcesLock);
        TLibrarySource& source = SourceOf(path, spot.Base);
        auto known = source.Found.find(at);
        if (known == source.Found.end()) {
            char line[kLibraryFrameSize];
            TFixedText names(line, sizeof line);
            AddSource(names, source, at, procedure);
            constexpr size_t kKeptAddresses = 4096;
            if (source.Found.size() >= kKeptAddresses) source.Found.clear();
            known = source.Found.emplace(at, std::string(line, names.Length())).first;
        }
        text.Add(known->second.data(), known->second.size());
    } catch (...) {
        // What cannot be read costs the frame its unit and line only.
        if (procedure != nullptr) text.Add(" ").Add(procedure);
    }
}

void PrepareLibraryNames() {
    const TLoadedList loaded = LoadedLibraries();
    std::lock_guard guard(prepared.Lock);
    if (loaded.Changes == prepared.LoaderChanges) return;
    for (const TLoadedLibrary& library : loaded.Libraries) AddTable(library.Path, library.Base);
    prepared.LoaderChanges = loaded.Changes;
}

void PrepareLibraryNamesAhead() {
    unsigned long long changes = 0;
    dl_iterate_phdr(
        [](dl_phdr_info* info, size_t, void* data) {
            *static_cast<unsigned long long*>(data) = info->dlpi_adds + info->dlpi_subs;
            return 1;
        },
        &changes);
    {
        std::lock_guard guard(prepared.Lock);
        if (changes == prepared.LoaderChanges) return;
    }
    if (prepared.Preparing.exchange(true)) return;
    try {
        std::thread([] {
            try {
                PrepareLibraryNames();
            } catch (...) {
                // Memory short: the last report names libraries by offset.
            }
            prepared.Preparing.store(false);
        }).detach();
    } catch (...) {
        prepared.Preparing.store(false);
    }
}

}  // namespace zr
