// What gdb names at an address of a binary: the reference a report's frames
// are checked against (never the report's own output).
#pragma once

#include <cstdio>
#include <string>

namespace zr::testing {

struct TGdbPlace {
    std::string Procedure;  // demangled, with its parameter list
    int Line = 0;
};

// Asks `gdb -batch` what `binary` holds at `address` (a file address: the
// offset a report gives for a library frame); empty when gdb is missing or
// knows nothing.
inline TGdbPlace GdbPlaceAt(const std::string& binary, unsigned long address) {
    char command[1024];
    std::snprintf(command, sizeof command,
                  "gdb -nx -batch -ex 'set debuginfod enabled off' -ex 'set print asm-demangle on' -ex 'info line *0x%lx' "
                  "'%s' 2>/dev/null",
                  address, binary.c_str());
    TGdbPlace place;
    FILE* gdb = popen(command, "r");
    if (gdb == nullptr) return place;
    std::string text;
    char chunk[512];
    while (std::fgets(chunk, sizeof chunk, gdb) != nullptr) text += chunk;
    pclose(gdb);
    // Line 10 of "file.cpp" starts at address 0x1139 <Proc(int)+9> and ends ...
    if (text.rfind("Line ", 0) == 0) place.Line = std::stoi(text.substr(5));
    const size_t open = text.find(" <");
    const size_t plus = text.find('+', open);
    const size_t close = text.find('>', open);
    if (open != std::string::npos && close != std::string::npos)
        place.Procedure = text.substr(open + 2, std::min(plus, close) - open - 2);
    return place;
}

}  // namespace zr::testing
