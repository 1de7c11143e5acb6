// Feeds arbitrary bytes to the map file reader as a map file, then looks up
// addresses taken from the input and lists the units. The reader must never
// raise on a map's content, a lookup must give the same answer twice, the
// reader's index must answer as the scans of the kept lines do, and the
// inlined frames it names must all be readable.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "exception/KVMapFile.h"
#include "framework/Strings.h"

namespace {

// The map lives in memory: a memory file reached through its /proc path, so
// the fuzzer leaves nothing behind on disk.
int MapDescriptor() {
    static const int fd = memfd_create("zr-fuzz-map", MFD_CLOEXEC);
    if (fd < 0) std::abort();
    return fd;
}

const std::string& MapPath() {
    static const std::string path = "/proc/self/fd/" + std::to_string(MapDescriptor());
    return path;
}

void WriteMap(const std::uint8_t* data, std::size_t size) {
    if (ftruncate(MapDescriptor(), 0) != 0) std::abort();
    if (size > 0 && pwrite(MapDescriptor(), data, size, 0) != static_cast<ssize_t>(size))
        std::abort();
}

struct TResult {
    std::string Unit, Procedure;
    std::int32_t Line;
    std::uint32_t Offset;
    bool operator==(const TResult&) const = default;
};

TResult Lookup(zr::TKVMapFile& map, std::uint32_t address) {
    map.LoadExceptionData(reinterpret_cast<const void*>(std::uintptr_t{address}));
    if (!map.DataLoaded() && address != 0) std::abort();
    return {map.UnitName(), map.ProcedureName(), map.LineNumber(), map.CodeOffset()};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    WriteMap(data, size);
    zr::TKVMapFile map;
    map.SetMapFileName(MapPath());
    map.LoadMapFile();

    // Addresses from the input's first bytes, and the edges of the code base.
    std::uint32_t fromInput = zr::TKVMapFile::kCodeBase;
    std::memcpy(&fromInput, data, size < sizeof fromInput ? size : sizeof fromInput);
    for (std::uint32_t address : {fromInput, zr::TKVMapFile::kCodeBase,
                                  zr::TKVMapFile::kCodeBase + 0x10, 0xFFFFFFFFu, 1u}) {
        TResult first = Lookup(map, address);
        if (!(Lookup(map, address) == first)) std::abort();
        const std::uint32_t offset = address - map.CodeBase();
        const auto indexed = map.Resolve(offset);
        const auto scanned = map.ResolveByScan(offset);
        if (indexed.Unit != scanned.Unit || indexed.Procedure != scanned.Procedure ||
            indexed.Line != scanned.Line)
            std::abort();
        const zr::TKVMapInlined::TChain chain = map.Inlined(offset);
        if (chain.Count() > zr::mapinlined::kDeepestChain) std::abort();
        for (size_t k = 0; k < chain.Count(); ++k)
            if (chain[k].Line < 0 || chain[k].Unit.size() + chain[k].Procedure.size() > size)
                std::abort();
    }

    zr::TStringList units;
    map.LoadUnitNames(&units);
    if (units.Count() > map.Segments().Count()) std::abort();
    return 0;
}
