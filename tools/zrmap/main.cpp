// zrmap: writes the map file of an ELF executable, and looks addresses up in
// a map the way the exception report does.
//
//   zrmap <executable> [<map file>]
//   zrmap --lookup <map file> <hex address>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "exception/KVMapFile.h"
#include "framework/SysUtils.h"
#include "tools/zrmap/MapLayout.h"
#include "tools/zrmap/MapText.h"
#include "tools/zrmap/ProgramImage.h"

namespace {

constexpr int kFound = 0;
constexpr int kNothingFound = 1;
constexpr int kFailed = 2;

int Usage(std::FILE* out, int status) {
    std::fputs(
        "usage: zrmap <executable> [<map file>]\n"
        "         writes the map of the executable's functions, units and source lines;\n"
        "         by default beside the executable, its extension changed to .map\n"
        "       zrmap --lookup <map file> <hex address>\n"
        "         prints the unit, procedure and line the map gives for an address in\n"
        "         map form (the code's run-time offset plus 0x00401000); exits 1 when\n"
        "         the map names none of them\n",
        out);
    return status;
}

// Accepts "401a2c", "0x401a2c" and "$401a2c", as people copy addresses from
// reports and debuggers.
bool ParseAddress(std::string_view text, std::uintptr_t& address) {
    if (text.starts_with("0x") || text.starts_with("0X"))
        text.remove_prefix(2);
    else if (text.starts_with("$"))
        text.remove_prefix(1);
    if (text.empty() || text.size() > 2 * sizeof(std::uintptr_t) ||
        text.find_first_not_of("0123456789abcdefABCDEF") != std::string_view::npos)
        return false;
    address = static_cast<std::uintptr_t>(std::strtoull(std::string(text).c_str(), nullptr, 16));
    return true;
}

int Lookup(const std::string& mapFile, const std::string& addressText) {
    std::uintptr_t address = 0;
    if (!ParseAddress(addressText, address)) {
        std::fprintf(stderr, "zrmap: '%s' is not a hexadecimal address\n", addressText.c_str());
        return kFailed;
    }
    // The reader takes a missing map as an empty one; a person who typed the
    // name wants to hear about it.
    if (!zr::FileExists(mapFile)) {
        std::fprintf(stderr, "zrmap: %s: no such map file\n", mapFile.c_str());
        return kFailed;
    }
    if (address == 0) {
        // A null address means "the exception being handled" to the reader.
        std::fputs("zrmap: address 0 lies in no map\n", stderr);
        return kNothingFound;
    }
    zr::TKVMapFile map;
    map.SetMapFileName(mapFile);
    map.LoadExceptionData(reinterpret_cast<const void*>(address));
    std::printf("Unit: %s\nProcedure: %s\nLine: %d\n", map.UnitName().c_str(),
                map.ProcedureName().c_str(), map.LineNumber());
    bool found = !map.UnitName().empty() || !map.ProcedureName().empty() || map.LineNumber() != 0;
    return found ? kFound : kNothingFound;
}

int Write(const std::string& executable, const std::string& mapFile) {
    zr::zrmap::TProgramImage image = zr::zrmap::ReadProgramImage(executable);
    if (!image.HasLineTable)
        std::fprintf(stderr,
                     "zrmap: warning: %s has no DWARF line table (build it with -g); the map "
                     "names procedures only\n",
                     executable.c_str());
    if (image.Functions.empty())
        std::fprintf(stderr, "zrmap: warning: %s has no function symbols (stripped?)\n",
                     executable.c_str());
    zr::zrmap::WriteMapFile(zr::zrmap::BuildMapLayout(image), mapFile);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        if (argc == 2 &&
            (std::string_view(argv[1]) == "--help" || std::string_view(argv[1]) == "-h"))
            return Usage(stdout, 0);
        if (argc == 4 && std::string_view(argv[1]) == "--lookup") return Lookup(argv[2], argv[3]);
        if ((argc == 2 || argc == 3) && !std::string_view(argv[1]).starts_with("-"))
            return Write(argv[1], argc == 3 ? argv[2] : zr::ChangeFileExt(argv[1], ".map"));
        return Usage(stderr, kFailed);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "zrmap: %s\n", e.what());
        return kFailed;
    }
}
