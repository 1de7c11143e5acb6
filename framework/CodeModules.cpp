#include "framework/CodeModules.h"

#include <execinfo.h>
#include <link.h>

#include <cstdint>
#include <cstring>

namespace zr {

namespace {

bool StartsWith(const char* s, const char* prefix) {
    return std::strncmp(s, prefix, std::strlen(prefix)) == 0;
}

struct TModuleSearch {
    std::uintptr_t Address = 0;
    const char* Name = nullptr;
};

int FindModule(dl_phdr_info* info, size_t, void* data) {
    auto* search = static_cast<TModuleSearch*>(data);
    for (int i = 0; i < info->dlpi_phnum; ++i) {
        const ElfW(Phdr)& ph = info->dlpi_phdr[i];
        const std::uintptr_t start = info->dlpi_addr + ph.p_vaddr;
        if (ph.p_type == PT_LOAD && search->Address >= start &&
            search->Address < start + ph.p_memsz) {
            search->Name = info->dlpi_name != nullptr ? info->dlpi_name : "";
            return 1;
        }
    }
    return 0;
}

}  // namespace

// The module file holding `address` ("" for the executable), or null when no
// module holds it. Only the loaded segments are compared: dladdr would also
// look for the nearest symbol, a scan of the module's whole symbol table
// that every throw would pay for.
const char* ModuleFileOf(const void* address) {
    TModuleSearch search{reinterpret_cast<std::uintptr_t>(address)};
    dl_iterate_phdr(FindModule, &search);
    return search.Name;
}

const char* BaseName(const char* path) {
    const char* slash = std::strrchr(path, '/');
    return slash ? slash + 1 : path;
}

bool IsSuiteModule(const char* name) {
    const char* base = BaseName(name);
    return StartsWith(base, "libzoririve.so") || StartsWith(base, "libVEDevE2006.so");
}

bool IsRuntimeModule(const char* name) {
    const char* base = BaseName(name);
    return StartsWith(base, "libstdc++.so") || StartsWith(base, "libgcc_s.so") ||
           StartsWith(base, "libasan.so") || StartsWith(base, "libtsan.so") ||
           StartsWith(base, "libubsan.so") || StartsWith(base, "libclang_rt.");
}

bool IsSuiteOrRuntimeModule(const char* name) {
    return IsSuiteModule(name) || IsRuntimeModule(name);
}

void* CallSite(void* returnAddress) {
    return static_cast<char*>(returnAddress) - 1;
}

void* FirstFrameOutside(bool (*skip)(const char* module)) {
    void* frames[64];
    int count = backtrace(frames, 64);
    for (int i = 0; i < count; ++i) {
        const char* module = ModuleFileOf(frames[i]);
        if (module == nullptr || !skip(module)) return CallSite(frames[i]);
    }
    return nullptr;
}

}  // namespace zr
