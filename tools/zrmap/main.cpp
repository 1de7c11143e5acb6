// zrmap: writes the map file of an ELF executable, and looks addresses up in
// a map the way the exception report does.
//
//   zrmap <executable> [<map file>]
//   zrmap --lookup <map file> <hex address>...
//   zrmap --annotate [--whole] <map file> < report
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>
#include <string_view>
#include <vector>

#include "exception/CallStackText.h"
#include "exception/KVMapFile.h"
#include "framework/FaultExceptions.h"
#include "framework/SysUtils.h"
#include "tools/zrmap/MapLayout.h"
#include "tools/zrmap/MapText.h"
#include "tools/zrmap/ProgramImage.h"
#include "tools/common/Version.h"

namespace {

constexpr int kFound = 0;
constexpr int kNothingFound = 1;
constexpr int kFailed = 2;

int Usage(std::FILE* out, int status) {
    std::fputs(
        "usage: zrmap <executable> [<map file>]\n"
        "         writes the map of the executable's functions, units and source lines;\n"
        "         by default beside the executable, its extension changed to .map\n"
        "       zrmap --lookup <map file> <hex address>...\n"
        "         prints the unit, procedure and line the map gives for each address in\n"
        "         map form (the code's run-time offset plus 0x00401000); exits 1 when\n"
        "         the map names none of them for some address\n"
        "         (functions inlined there first, innermost first, as \"Inlined:\" lines)\n"
        "       zrmap --annotate [--whole] <map file> < report\n"
        "         copies a log of exception reports, adding to every call-stack frame\n"
        "         that names no source the unit, procedure and line the map gives,\n"
        "         with the functions inlined there on lines of their own before it;\n"
        "         names are shortened and call plumbing folded as in a report, unless\n"
        "         --whole is given\n"
        "       zrmap --version\n",
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

// The reader takes a missing map as an empty one; a person who typed the
// name wants to hear about it.
bool MapExists(const std::string& mapFile) {
    if (zr::FileExists(mapFile)) return true;
    std::fprintf(stderr, "zrmap: %s: no such map file\n", mapFile.c_str());
    return false;
}

int Lookup(const std::string& mapFile, const std::vector<std::string>& addressTexts) {
    std::vector<std::uintptr_t> addresses;
    for (const std::string& text : addressTexts) {
        std::uintptr_t address = 0;
        if (!ParseAddress(text, address)) {
            std::fprintf(stderr, "zrmap: '%s' is not a hexadecimal address\n", text.c_str());
            return kFailed;
        }
        addresses.push_back(address);
    }
    if (!MapExists(mapFile)) return kFailed;
    zr::TKVMapFile map;
    map.SetMapFileName(mapFile);
    int status = kFound;
    for (const std::uintptr_t address : addresses) {
        // Several answers are told apart by the address each one is for.
        if (addresses.size() > 1) std::printf("Address: %08" PRIXPTR "\n", address);
        if (address == 0) {
            // A null address means "the exception being handled" to the reader.
            std::fputs("zrmap: address 0 lies in no map\n", stderr);
            status = kNothingFound;
            continue;
        }
        map.LoadExceptionData(reinterpret_cast<const void*>(address));
        // Functions inlined there come first, innermost first, as in a report.
        const zr::TKVMapInlined::TChain inlined = map.Inlined(map.CodeOffset());
        for (size_t k = 0; address <= UINT32_MAX && k < inlined.Count(); ++k)
            std::printf("Inlined: %.*s %.*s line %d\n", static_cast<int>(inlined[k].Unit.size()),
                        inlined[k].Unit.data(), static_cast<int>(inlined[k].Procedure.size()),
                        inlined[k].Procedure.data(), inlined[k].Line);
        std::printf("Unit: %s\nProcedure: %s\nLine: %d\n", map.UnitName().c_str(),
                    map.ProcedureName().c_str(), map.LineNumber());
        if (map.UnitName().empty() && map.ProcedureName().empty() && map.LineNumber() == 0)
            status = kNothingFound;
    }
    return status;
}

// A frame line of a call stack: two blanks and the address, and nothing
// after it when the machine that wrote the report had no map.
bool BareFrame(const std::string& line, std::uintptr_t& address) {
    if (!line.starts_with("  ")) return false;
    std::string_view rest(line);
    rest.remove_prefix(2);
    if (rest.ends_with("\r")) rest.remove_suffix(1);
    return rest.find(' ') == std::string_view::npos && ParseAddress(rest, address);
}

// The lines a report gives `addresses`, each ended by `ending`.
std::string NamedFrames(const zr::TKVMapFile& map, const std::vector<std::uintptr_t>& addresses,
                        bool firstIsRaise, zr::TFrameStyle style, const std::string& ending) {
    std::string buffer(addresses.size() * 4096 + 64, '\0');
    zr::TFixedText text(buffer.data(), buffer.size());
    zr::AddMapFrameLines(text, map, addresses.data(), static_cast<int>(addresses.size()),
                         firstIsRaise, style);
    buffer.resize(text.Length());
    std::string lines;
    for (size_t at = 0; (at = buffer.find("\r\n", at)) != std::string::npos;) {
        at += 2;
        const size_t next = buffer.find("\r\n", at);
        lines += buffer.substr(at, next == std::string::npos ? std::string::npos : next - at);
        lines += ending;
    }
    return lines;
}

int Annotate(const std::string& mapFile, zr::TFrameStyle style) {
    if (!MapExists(mapFile)) return kFailed;
    zr::TKVMapFile map;
    map.SetMapFileName(mapFile);
    map.LoadMapFile();
    int frame = -1;  // the frame's place in the call stack; -1 outside one
    // Bare frames in a row are named together, so that a run of call
    // plumbing folds into one line as in a report.
    std::vector<std::uintptr_t> bare;
    bool bareStartsStack = false;
    std::string ending = "\n";
    auto flush = [&] {
        if (bare.empty()) return;
        std::fputs(NamedFrames(map, bare, bareStartsStack, style, ending).c_str(), stdout);
        bare.clear();
    };
    for (std::string line; std::getline(std::cin, line);) {
        const bool ended = !std::cin.eof();
        std::string_view text(line);
        if (text.ends_with("\r")) text.remove_suffix(1);
        std::uintptr_t address = 0;
        if (frame >= 0 && line.starts_with("  ")) {
            if (BareFrame(line, address)) {
                if (bare.empty()) bareStartsStack = frame == 0;
                ending = (text.size() < line.size() ? "\r" : "") + std::string(ended ? "\n" : "");
                bare.push_back(address);
                ++frame;
                continue;
            }
            ++frame;
        } else {
            frame = text == "Call stack:" ? 0 : -1;
        }
        flush();
        std::fputs(line.c_str(), stdout);
        if (ended) std::fputc('\n', stdout);
    }
    flush();
    return kFound;
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
        if (argc == 2 && std::string_view(argv[1]) == "--version")
            return zr::tools::PrintVersion("zrmap");
        if (argc >= 4 && std::string_view(argv[1]) == "--lookup")
            return Lookup(argv[2], std::vector<std::string>(argv + 3, argv + argc));
        if (argc == 3 && std::string_view(argv[1]) == "--annotate")
            return Annotate(argv[2], zr::TFrameStyle::Readable);
        if (argc == 4 && std::string_view(argv[1]) == "--annotate" &&
            std::string_view(argv[2]) == "--whole")
            return Annotate(argv[3], zr::TFrameStyle::Whole);
        if ((argc == 2 || argc == 3) && !std::string_view(argv[1]).starts_with("-"))
            return Write(argv[1], argc == 3 ? argv[2] : zr::ChangeFileExt(argv[1], ".map"));
        return Usage(stderr, kFailed);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "zrmap: %s\n", e.what());
        return kFailed;
    }
}
