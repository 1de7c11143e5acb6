#include "tools/zrmap/ProgramImage.h"

#include "tools/zrmap/InlineChains.h"
#include "tools/zrmap/OuterLines.h"

#include <cxxabi.h>
#include <dwarf.h>
#include <elfutils/libdw.h>
#include <fcntl.h>
#include <gelf.h>
#include <libelf.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <unordered_map>

namespace zr::zrmap {

namespace {

// Offsets in a map file are 32 bits wide; code beyond that cannot be named.
constexpr std::uint64_t kOffsetLimit = std::uint64_t{1} << 32;

// Closes what ReadProgramImage opened, in reverse order, on every path out.
class TElfFile {
  public:
    explicit TElfFile(const std::string& path) {
        if (elf_version(EV_CURRENT) == EV_NONE) throw EImageError("libelf is out of date");
        fd_ = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd_ < 0) throw EImageError(path + ": " + std::strerror(errno));
        elf_ = elf_begin(fd_, ELF_C_READ_MMAP, nullptr);
        if (elf_ == nullptr || elf_kind(elf_) != ELF_K_ELF) {
            Close();
            throw EImageError(path + ": not an ELF file");
        }
    }
    ~TElfFile() { Close(); }
    TElfFile(const TElfFile&) = delete;
    TElfFile& operator=(const TElfFile&) = delete;

    Elf* Handle() const { return elf_; }

  private:
    void Close() {
        if (elf_ != nullptr) elf_end(elf_);
        if (fd_ >= 0) close(fd_);
        elf_ = nullptr;
        fd_ = -1;
    }
    int fd_ = -1;
    Elf* elf_ = nullptr;
};

struct TDwarfCloser {
    void operator()(Dwarf* dwarf) const { dwarf_end(dwarf); }
};

// The first loadable segment with execute permission: the run-time side
// (the exception's reported address) counts from the same segment.
bool FindCodeSegment(Elf* elf, TProgramImage& image) {
    size_t count = 0;
    if (elf_getphdrnum(elf, &count) != 0) return false;
    for (size_t i = 0; i < count; ++i) {
        GElf_Phdr header;
        if (gelf_getphdr(elf, static_cast<int>(i), &header) == nullptr) continue;
        if (header.p_type == PT_LOAD && (header.p_flags & PF_X)) {
            image.CodeStart = header.p_vaddr;
            image.CodeSize = header.p_memsz;
            return true;
        }
    }
    return false;
}

bool ToOffset(const TProgramImage& image, std::uint64_t address, std::uint32_t& offset) {
    if (address < image.CodeStart || address - image.CodeStart >= kOffsetLimit) return false;
    offset = static_cast<std::uint32_t>(address - image.CodeStart);
    return true;
}

TSymbolBinding BindingOf(const GElf_Sym& symbol) {
    switch (GELF_ST_BIND(symbol.st_info)) {
        case STB_GLOBAL:
            return TSymbolBinding::Global;
        case STB_WEAK:
            return TSymbolBinding::Weak;
        default:
            return TSymbolBinding::Local;
    }
}

// The full symbol table when there is one; a stripped executable still has
// its dynamic symbols.
Elf_Scn* FindSymbolTable(Elf* elf) {
    Elf_Scn* dynamic = nullptr;
    for (Elf_Scn* section = elf_nextscn(elf, nullptr); section != nullptr;
         section = elf_nextscn(elf, section)) {
        GElf_Shdr header;
        if (gelf_getshdr(section, &header) == nullptr) continue;
        if (header.sh_type == SHT_SYMTAB) return section;
        if (header.sh_type == SHT_DYNSYM) dynamic = section;
    }
    return dynamic;
}

void ReadFunctions(Elf* elf, TProgramImage& image) {
    Elf_Scn* section = FindSymbolTable(elf);
    if (section == nullptr) return;
    GElf_Shdr header;
    Elf_Data* data = elf_getdata(section, nullptr);
    if (gelf_getshdr(section, &header) == nullptr || data == nullptr || header.sh_entsize == 0)
        return;
    size_t count = header.sh_size / header.sh_entsize;
    for (size_t i = 0; i < count; ++i) {
        GElf_Sym symbol;
        if (gelf_getsym(data, static_cast<int>(i), &symbol) == nullptr) continue;
        int type = GELF_ST_TYPE(symbol.st_info);
        if ((type != STT_FUNC && type != STT_GNU_IFUNC) || symbol.st_shndx == SHN_UNDEF) continue;
        const char* name = elf_strptr(elf, header.sh_link, symbol.st_name);
        TFunctionSymbol function;
        if (name == nullptr || *name == '\0' || !ToOffset(image, symbol.st_value, function.Offset))
            continue;
        function.Size = static_cast<std::uint32_t>(
            std::min<std::uint64_t>(symbol.st_size, kOffsetLimit - 1 - function.Offset));
        function.Name = WithoutCloneSuffixes(Demangle(name));
        function.Binding = BindingOf(symbol);
        image.Functions.push_back(std::move(function));
    }
}

// Gives each distinct source path (or name) one number, so rows stay small.
class TFileTable {
  public:
    explicit TFileTable(std::vector<std::string>& files) : files_(files) {}
    std::uint32_t IndexOf(const std::string& path) {
        auto [it, added] = index_.try_emplace(path, static_cast<std::uint32_t>(files_.size()));
        if (added) files_.emplace_back(path);
        return it->second;
    }

  private:
    std::vector<std::string>& files_;
    std::unordered_map<std::string, std::uint32_t> index_;
};

bool RowBefore(const TLineRow& a, const TLineRow& b) {
    if (a.Offset != b.Offset) return a.Offset < b.Offset;
    return a.EndSequence && !b.EndSequence;
}

// Where one sequence ends and the next begins at the same offset, the end
// row must come first so the new sequence's row covers the address.
void SortRows(std::vector<TLineRow>& rows) {
    std::stable_sort(rows.begin(), rows.end(), RowBefore);
}

// By start; where two units claim the same code (folded duplicates), the
// first keeps it.
void SortStretches(std::vector<TInlinedStretch>& stretches) {
    std::stable_sort(stretches.begin(), stretches.end(),
                     [](const auto& a, const auto& b) { return a.Start < b.Start; });
    std::vector<TInlinedStretch> kept;
    for (TInlinedStretch& s : stretches)
        if (kept.empty() || s.Start >= kept.back().End) kept.push_back(std::move(s));
    stretches = std::move(kept);
}

std::vector<TLineRow> ReadUnitLines(Dwarf_Die& unit, const TProgramImage& image,
                                    TFileTable& files) {
    std::vector<TLineRow> rows;
    Dwarf_Lines* lines = nullptr;
    size_t count = 0;
    if (dwarf_getsrclines(&unit, &lines, &count) != 0) return rows;
    for (size_t i = 0; i < count; ++i) {
        Dwarf_Line* line = dwarf_onesrcline(lines, i);
        Dwarf_Addr address = 0;
        int number = 0;
        bool end = false;
        if (line == nullptr || dwarf_lineaddr(line, &address) != 0 ||
            dwarf_lineno(line, &number) != 0 || dwarf_lineendsequence(line, &end) != 0)
            continue;
        TLineRow row;
        // Rows of code the linker discarded point below the code or far
        // beyond it; they describe nothing in this executable.
        if (!ToOffset(image, address, row.Offset)) continue;
        const char* source = dwarf_linesrc(line, nullptr, nullptr);
        row.File = files.IndexOf(source != nullptr ? source : "");
        row.Line = number;
        row.EndSequence = end;
        rows.push_back(row);
    }
    SortRows(rows);
    return rows;
}

void ReadLineTables(Elf* elf, TProgramImage& image) {
    std::unique_ptr<Dwarf, TDwarfCloser> dwarf(dwarf_begin_elf(elf, DWARF_C_READ, nullptr));
    if (!dwarf) return;
    image.HasLineTable = true;
    TFileTable files(image.Files);
    TFileTable names(image.Names);
    const TFileIndex fileIndex = [&](const char* path) { return files.IndexOf(path); };
    const TNameIndex nameIndex = [&](const std::string& name) { return names.IndexOf(name); };
    Dwarf_CU* unit = nullptr;
    Dwarf_Die unitDie;
    std::uint8_t unitType = 0;
    while (dwarf_get_units(dwarf.get(), unit, &unit, nullptr, &unitType, &unitDie, nullptr) == 0) {
        // Type units hold no code; skeleton and partial units may.
        if (unitType == DW_UT_type || unitType == DW_UT_split_type) continue;
        const std::vector<TLineRow> rows = ReadUnitLines(unitDie, image, files);
        const std::vector<TLineRow> outer =
            OuterFrameRows(unitDie, rows, image.CodeStart, fileIndex);
        image.Rows.insert(image.Rows.end(), outer.begin(), outer.end());
        ReadInlinedCalls(unitDie, rows, image.CodeStart, fileIndex, nameIndex, image.Inlined);
    }
    SortRows(image.Rows);
    SortStretches(image.Inlined);
}

}  // namespace

std::string Demangle(const std::string& name) {
    int status = 0;
    char* readable = abi::__cxa_demangle(name.c_str(), nullptr, nullptr, &status);
    std::string result = (status == 0 && readable != nullptr) ? readable : name;
    std::free(readable);
    return result;
}

TProgramImage ReadProgramImage(const std::string& path) {
    TElfFile file(path);
    TProgramImage image;
    if (!FindCodeSegment(file.Handle(), image))
        throw EImageError(path + ": has no loadable code segment (is it linked?)");
    ReadFunctions(file.Handle(), image);
    ReadLineTables(file.Handle(), image);
    return image;
}

}  // namespace zr::zrmap
