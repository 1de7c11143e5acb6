// What gdb names at addresses of a binary: the reference a report's frames
// are checked against (never the report's own output).
#pragma once

#include <algorithm>
#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

namespace zr::testing {

struct TGdbPlace {
    std::string Procedure;  // demangled, with its parameter list
    int Line = 0;
};

// Asks one `gdb -batch` what `binary` holds at each of `addresses` (file
// addresses: the offsets a report gives for a library's frames); a place is
// empty where gdb knows nothing, all are when gdb is missing.
inline std::vector<TGdbPlace> GdbPlacesAt(const std::string& binary,
                                          const std::vector<unsigned long>& addresses) {
    std::string command =
        "gdb -nx -batch -ex 'set debuginfod enabled off' -ex 'set print asm-demangle on'";
    for (unsigned long address : addresses) {
        char ask[64];
        std::snprintf(ask, sizeof ask, " -ex 'info line *0x%lx'", address);
        command += ask;
    }
    command += " '" + binary + "' 2>/dev/null";
    std::vector<TGdbPlace> places(addresses.size());
    FILE* gdb = popen(command.c_str(), "r");
    if (gdb == nullptr) return places;
    std::string text;
    char chunk[512];
    while (std::fgets(chunk, sizeof chunk, gdb) != nullptr) text += chunk;
    pclose(gdb);
    // One answer a line, in order: Line 10 of "f.cpp" starts at address 0x1139
    // <Proc(int)+9> and ends at ... (or "No line number information ...").
    std::istringstream lines(text);
    size_t at = 0;
    for (std::string line; std::getline(lines, line) && at < places.size(); ++at) {
        TGdbPlace& place = places[at];
        if (line.rfind("Line ", 0) == 0) place.Line = std::stoi(line.substr(5));
        const size_t open = line.find(" <");
        const size_t close = line.find('>', open);
        if (open == std::string::npos || close == std::string::npos) continue;
        const size_t plus = line.find('+', open);
        place.Procedure = line.substr(open + 2, std::min(plus, close) - open - 2);
    }
    return places;
}

}  // namespace zr::testing
