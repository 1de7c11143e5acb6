#include "framework/CodeModules.h"

#include <execinfo.h>

#include <cstdint>
#include <cstring>

#include "platform/LoadedModules.h"

namespace zr {

namespace {

bool StartsWith(const char* s, const char* prefix) {
    return std::strncmp(s, prefix, std::strlen(prefix)) == 0;
}

}  // namespace

const char* ModuleFileOf(const void* address) {
    return os::ModulePathOf(address);
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
