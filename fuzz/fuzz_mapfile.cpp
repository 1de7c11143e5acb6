// Feeds arbitrary bytes to the map file reader as a map file, then looks up
// addresses taken from the input and lists the units. The reader must never
// raise on a map's content, and a lookup must give the same answer twice.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "exception/KVMapFile.h"
#include "framework/Strings.h"

namespace {

const std::string& MapPath() {
    static const std::string path = [] {
        const char* tmp = std::getenv("TMPDIR");
        return std::string(tmp && *tmp ? tmp : "/tmp") + "/zr-fuzz-map-" +
               std::to_string(::getpid()) + ".map";
    }();
    return path;
}

void WriteMap(const std::uint8_t* data, std::size_t size) {
    std::FILE* file = std::fopen(MapPath().c_str(), "wb");
    if (file == nullptr) std::abort();
    if (size > 0 && std::fwrite(data, 1, size, file) != size) std::abort();
    std::fclose(file);
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
    }

    zr::TStringList units;
    map.LoadUnitNames(&units);
    if (units.Count() > map.Segments().Count()) std::abort();
    return 0;
}
