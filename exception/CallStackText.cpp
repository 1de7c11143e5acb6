#include "exception/CallStackText.h"

#include <link.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string_view>

#include "exception/FrameNames.h"
#include "exception/KVMapFile.h"
#include "framework/ExceptAddr.h"
#include "framework/FaultExceptions.h"

namespace zr {

namespace {

constexpr size_t kModuleNameSize = 96;
constexpr size_t kFrameLineSize = 640;  // address, unit, procedure, line

// The shared library holding a frame: its file name (without folder) and the
// frame's offset from where the library is loaded.
struct TModuleSpot {
    bool Found = false;
    char Name[kModuleNameSize] = {};
    std::uintptr_t Offset = 0;
};

void CopyBaseName(const char* path, size_t length, char* name) {
    size_t start = length;
    while (start > 0 && path[start - 1] != '/') --start;
    size_t size = length - start;
    if (size >= kModuleNameSize) size = kModuleNameSize - 1;
    std::memcpy(name, path + start, size);
    name[size] = '\0';
}

struct TLoaderSearch {
    void* const* Frames;
    int Count;
    TModuleSpot* Spots;
};

// Only the loaded segments are compared: asking the loader for the symbol
// nearest an address (dladdr) scans a library's whole symbol table.
int FindInModule(dl_phdr_info* info, size_t, void* data) {
    auto* search = static_cast<TLoaderSearch*>(data);
    for (int i = 0; i < search->Count; ++i) {
        const auto address = reinterpret_cast<std::uintptr_t>(search->Frames[i]);
        TModuleSpot& spot = search->Spots[i];
        if (spot.Found || info->dlpi_name == nullptr || info->dlpi_name[0] == '\0') continue;
        for (int k = 0; k < info->dlpi_phnum; ++k) {
            const ElfW(Phdr)& segment = info->dlpi_phdr[k];
            const std::uintptr_t begin = info->dlpi_addr + segment.p_vaddr;
            if (segment.p_type != PT_LOAD || address < begin || address >= begin + segment.p_memsz)
                continue;
            spot.Found = true;
            CopyBaseName(info->dlpi_name, std::strlen(info->dlpi_name), spot.Name);
            spot.Offset = address - info->dlpi_addr;
            break;
        }
    }
    return 0;
}

void FindByLoader(void* const* frames, int count, TModuleSpot* spots) {
    TLoaderSearch search{frames, count, spots};
    dl_iterate_phdr(FindInModule, &search);
}

bool ReadHex(const char*& p, const char* end, std::uintptr_t& value) {
    value = 0;
    const char* start = p;
    for (; p < end; ++p) {
        const char c = *p;
        const int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
        if (digit < 0) break;
        value = value << 4 | static_cast<std::uintptr_t>(digit);
    }
    return p > start;
}

// One line of /proc/self/maps: "start-end perms offset device inode   path".
// A library is loaded where its mapping of file offset 0 starts.
struct TMapsReader {
    void* const* Frames;
    int Count;
    TModuleSpot* Spots;
    char LoadPath[256] = {};
    std::uintptr_t LoadStart = 0;

    void Line(const char* p, const char* end) {
        std::uintptr_t start = 0, stop = 0, offset = 0;
        if (!ReadHex(p, end, start) || p >= end || *p++ != '-' || !ReadHex(p, end, stop)) return;
        for (int field = 0; field < 2; ++field) {  // perms, then the offset
            while (p < end && *p == ' ') ++p;
            if (field == 1 && !ReadHex(p, end, offset)) return;
            while (p < end && *p != ' ') ++p;
        }
        for (int field = 0; field < 2; ++field) {  // device, inode
            while (p < end && *p == ' ') ++p;
            while (p < end && *p != ' ') ++p;
        }
        while (p < end && *p == ' ') ++p;
        const size_t pathLength = static_cast<size_t>(end - p);
        if (pathLength == 0 || *p != '/' || pathLength >= sizeof LoadPath) return;
        const bool samePath =
            std::strlen(LoadPath) == pathLength && std::memcmp(LoadPath, p, pathLength) == 0;
        if (offset == 0) {
            std::memcpy(LoadPath, p, pathLength);
            LoadPath[pathLength] = '\0';
            LoadStart = start;
        }
        const std::uintptr_t base = offset == 0 || samePath ? LoadStart : start - offset;
        for (int i = 0; i < Count; ++i) {
            const auto address = reinterpret_cast<std::uintptr_t>(Frames[i]);
            if (Spots[i].Found || address < start || address >= stop) continue;
            Spots[i].Found = true;
            CopyBaseName(p, pathLength, Spots[i].Name);
            Spots[i].Offset = address - base;
        }
    }
};

// Finds every frame's library in one pass over the process's memory map,
// with async-signal-safe calls only.
void FindInProcessMaps(void* const* frames, int count, TModuleSpot* spots) {
    const int fd = open("/proc/self/maps", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return;
    TMapsReader reader{frames, count, spots};
    char buffer[4096];
    size_t held = 0;
    bool skipping = false;  // the rest of a line too long to hold
    for (;;) {
        const ssize_t n = read(fd, buffer + held, sizeof buffer - held);
        if (n <= 0) break;
        held += static_cast<size_t>(n);
        size_t begin = 0;
        for (size_t i = 0; i < held; ++i) {
            if (buffer[i] != '\n') continue;
            if (!skipping) reader.Line(buffer + begin, buffer + i);
            skipping = false;
            begin = i + 1;
        }
        if (begin == 0 && held == sizeof buffer) begin = held, skipping = true;
        std::memmove(buffer, buffer + begin, held - begin);
        held -= begin;
    }
    close(fd);
}

void AddLowerHex(TFixedText& text, std::uintptr_t value) {
    char digits[2 * sizeof value];
    int count = 0;
    do {
        digits[sizeof digits - 1 - count++] = "0123456789abcdef"[value & 0xF];
        value >>= 4;
    } while (value != 0);
    text.Add(digits + sizeof digits - count, static_cast<size_t>(count));
}

// Longer names are cut here; the short forms are far shorter.
constexpr size_t kNameBufferSize = 1024;

// Writes frame lines, folding runs of call plumbing into one line that says
// how many it stands for.
class TFrameWriter {
  public:
    TFrameWriter(TFixedText& text, TFrameStyle style) : text_(text), style_(style) {}

    // A frame the map names: the address, "[inlined]" for a function
    // inlined there, its unit, procedure and line.
    void Named(std::uintptr_t reported, bool inlined, std::string_view unit,
               std::string_view procedure, int line) {
        if (style_ == TFrameStyle::Readable && IsCallPlumbing(unit, procedure)) {
            ++folded_;
            return;
        }
        Flush();
        text_.Add("\r\n  ").Hex(reported);
        if (inlined) text_.Add(" [inlined]");
        if (!unit.empty()) text_.Add(" ").Add(unit.data(), unit.size());
        if (!procedure.empty()) {
            text_.Add(" ");
            if (style_ == TFrameStyle::Whole) {
                text_.Add(procedure.data(), procedure.size());
            } else {
                char name[kNameBufferSize];
                text_.Add(name, ShortFrameName(procedure, name, sizeof name));
            }
        }
        if (line > 0) text_.Add(" line ").Decimal(line);
    }

    // A frame of no map: the address and what `spot` says of its library.
    void Unnamed(std::uintptr_t reported, const TModuleSpot* spot) {
        Flush();
        text_.Add("\r\n  ").Hex(reported);
        if (spot != nullptr && spot->Found)
            text_.Add(" ").Add(spot->Name).Add("+0x"), AddLowerHex(text_, spot->Offset);
    }

    void Flush() {
        if (folded_ == 0) return;
        text_.Add("\r\n  (").Decimal(folded_).Add(folded_ == 1 ? " frame" : " frames");
        text_.Add(" of call plumbing folded)");
        folded_ = 0;
    }

  private:
    TFixedText& text_;
    TFrameStyle style_;
    int folded_ = 0;
};

// The functions inlined at the frame's code come first, innermost first, as
// a debugger lists them, then the function they were inlined into.
void AddMappedFrame(TFrameWriter& writer, const TKVMapFile& map, std::uintptr_t reported,
                    bool first) {
    // A return address lies after its call, possibly on the next line.
    const std::uint32_t offset =
        static_cast<std::uint32_t>(reported) - map.CodeBase() - (first ? 0 : 1);
    const TKVMapInlined::TChain inlined = map.Inlined(offset);
    for (size_t k = 0; k < inlined.Count(); ++k) {
        const TInlinedFrameView f = inlined[k];
        writer.Named(reported, true, f.Unit, f.Procedure, f.Line);
    }
    const TKVMapFile::TMapSourceView found = map.Resolve(offset);
    writer.Named(reported, false, found.Unit, found.Procedure, found.Line);
}

void AddFrameLines(TFrameWriter& writer, const TKVMapFile* map, void* frame, bool first,
                   const TModuleSpot& spot) {
    const auto reported = reinterpret_cast<std::uintptr_t>(ReportedAddress(frame));
    if (!IsExecutableAddress(frame)) return writer.Unnamed(reported, &spot);
    if (map == nullptr || !map->MapLoaded() || reported > UINT32_MAX)
        return writer.Unnamed(reported, nullptr);
    AddMappedFrame(writer, *map, reported, first);
}

}  // namespace

void AddCallStackSection(TFixedText& text, const TKVMapFile* map, void* const* frames, int count,
                         bool signalSafe, TFrameStyle style) {
    if (count > kMaxCallFrames) count = kMaxCallFrames;
    TModuleSpot spots[kMaxCallFrames];
    if (signalSafe) {
        FindInProcessMaps(frames, count, spots);
    } else {
        FindByLoader(frames, count, spots);
    }
    text.Add("Call stack:");
    TFrameWriter writer(text, style);
    for (int i = 0; i < count; ++i) AddFrameLines(writer, map, frames[i], i == 0, spots[i]);
    writer.Flush();
}

void AddFaultCallStackSection(TFixedText& text, const TKVMapFile* map, void* instruction,
                              TFrameStyle style) {
    // Room for the handler's own frames in front of the faulting one.
    constexpr int kHandlerFrames = 16;
    void* frames[kMaxCallFrames + kHandlerFrames];
    const int count = WalkStack(frames, kMaxCallFrames + kHandlerFrames);
    for (int i = 0; i < count; ++i)
        if (frames[i] == instruction) {
            AddCallStackSection(text, map, frames + i, count - i, true, style);
            return;
        }
    // Not in a signal handler: the fault's exception found no handler. Its
    // stack was taken when it was made.
    const TCallStack recorded = RecordedFaultCallStack(instruction);
    if (recorded.Count > 0) {
        AddCallStackSection(text, map, recorded.Frames, recorded.Count, true, style);
        return;
    }
    AddCallStackSection(text, map, &instruction, 1, true, style);
}

void AddMapFrameLines(TFixedText& text, const TKVMapFile& map, const std::uintptr_t* reported,
                      int count, bool firstIsRaise, TFrameStyle style) {
    TFrameWriter writer(text, style);
    for (int i = 0; i < count; ++i) {
        if (reported[i] > UINT32_MAX)
            writer.Unnamed(reported[i], nullptr);
        else
            AddMappedFrame(writer, map, reported[i], firstIsRaise && i == 0);
    }
    writer.Flush();
}

std::string CallStackSection(const TKVMapFile* map, void* const* frames, int count,
                             TFrameStyle style) {
    // Room for a few inlined frames to each physical one; left unfilled, as
    // only what is written is kept.
    const size_t size = static_cast<size_t>(kMaxCallFrames) * kFrameLineSize * 4 + 64;
    const std::unique_ptr<char[]> buffer(new char[size]);
    TFixedText text(buffer.get(), size);
    AddCallStackSection(text, map, frames, count, false, style);
    return std::string(buffer.get(), text.Length());
}

}  // namespace zr
