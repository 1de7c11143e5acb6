// Which loaded module (the executable or a shared library) holds a code
// address, and under which name: the one place that asks the system, both
// through the loader and, where the loader's lock may be held by the
// interrupted code (a signal handler), through the process's memory map.
//
// A library is named as the loader loaded it (the file name it was asked
// for, "libstdc++.so.6"), not by the file the name leads to: a report and a
// last report of the same frame say the same.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zr::os {

constexpr std::size_t kModuleNameSize = 96;

// The module holding an address: its file name (without folder), where it
// is loaded (the bias the loader added to its addresses) and the address's
// offset from there.
struct TModuleSpot {
    bool Found = false;
    char Name[kModuleNameSize] = {};
    std::uintptr_t Base = 0;
    std::uintptr_t Offset = 0;
};

// The path of the module holding `address` as the loader has it ("" for
// the executable), or null when no module holds it; through the loader.
const char* ModulePathOf(const void* address);

// Finds the module of each of `count` addresses, through the loader.
void FindModules(void* const* addresses, int count, TModuleSpot* spots);
// The same with async-signal-safe calls only: one pass over
// /proc/self/maps, the names taken from the loader's list where it is in a
// consistent state.
void FindModulesSignalSafe(void* const* addresses, int count, TModuleSpot* spots);

// The path of the module that holds `address` as the loader knows it (the
// file's own path where the loader has none), with async-signal-safe calls;
// "" when no module does.
void ModuleNameAt(const void* address, char* name, std::size_t size);

}  // namespace zr::os
