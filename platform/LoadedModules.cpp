#include "platform/LoadedModules.h"

#include <fcntl.h>
#include <link.h>
#include <unistd.h>

#include <cstring>

namespace zr::os {

namespace {

void CopyBaseName(const char* path, std::size_t length, char* name) {
    std::size_t start = length;
    while (start > 0 && path[start - 1] != '/') --start;
    std::size_t size = length - start;
    if (size >= kModuleNameSize) size = kModuleNameSize - 1;
    std::memcpy(name, path + start, size);
    name[size] = '\0';
}

struct TLoaderSearch {
    void* const* Addresses;
    int Count;
    TModuleSpot* Spots;
};

// Only the loaded segments are compared: asking the loader for the symbol
// nearest an address (dladdr) scans a library's whole symbol table.
int FindInModule(dl_phdr_info* info, std::size_t, void* data) {
    auto* search = static_cast<TLoaderSearch*>(data);
    if (info->dlpi_name == nullptr || info->dlpi_name[0] == '\0') return 0;
    for (int i = 0; i < search->Count; ++i) {
        const auto address = reinterpret_cast<std::uintptr_t>(search->Addresses[i]);
        TModuleSpot& spot = search->Spots[i];
        if (spot.Found) continue;
        for (int k = 0; k < info->dlpi_phnum; ++k) {
            const ElfW(Phdr)& segment = info->dlpi_phdr[k];
            const std::uintptr_t begin = info->dlpi_addr + segment.p_vaddr;
            if (segment.p_type != PT_LOAD || address < begin || address >= begin + segment.p_memsz)
                continue;
            spot.Found = true;
            CopyBaseName(info->dlpi_name, std::strlen(info->dlpi_name), spot.Name);
            spot.Base = info->dlpi_addr;
            spot.Offset = address - info->dlpi_addr;
            break;
        }
    }
    return 0;
}

struct TPathSearch {
    std::uintptr_t Address = 0;
    const char* Path = nullptr;
};

int FindPath(dl_phdr_info* info, std::size_t, void* data) {
    auto* search = static_cast<TPathSearch*>(data);
    for (int i = 0; i < info->dlpi_phnum; ++i) {
        const ElfW(Phdr)& segment = info->dlpi_phdr[i];
        const std::uintptr_t begin = info->dlpi_addr + segment.p_vaddr;
        if (segment.p_type == PT_LOAD && search->Address >= begin &&
            search->Address < begin + segment.p_memsz) {
            search->Path = info->dlpi_name != nullptr ? info->dlpi_name : "";
            return 1;
        }
    }
    return 0;
}

// The loader's own path for the module loaded at `base`, read from its list
// without its lock: only while the list is not being changed, and only a
// path it has (the executable's name is empty, the kernel's virtual
// library's no path). Null otherwise.
const char* LoaderPathAt(std::uintptr_t base) {
    if (_r_debug.r_state != r_debug::RT_CONSISTENT) return nullptr;
    int guard = 0;
    for (const link_map* module = _r_debug.r_map; module != nullptr && guard < 4096;
         module = module->l_next, ++guard)
        if (module->l_addr == base && module->l_name != nullptr &&
            std::strchr(module->l_name, '/') != nullptr)
            return module->l_name;
    return nullptr;
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

// One mapping of /proc/self/maps, "start-end perms offset device inode path",
// and where the file it maps is loaded.
struct TMapping {
    std::uintptr_t Start = 0;
    std::uintptr_t Stop = 0;
    std::uintptr_t Base = 0;
    const char* Path = nullptr;  // the file's own path
    std::size_t PathLength = 0;
};

// Reads the mappings of files, in order, with async-signal-safe calls;
// `visit` returns false to stop. A file is loaded where its mapping of file
// offset 0 starts.
template <class Visit>
void ForEachFileMapping(Visit visit) {
    const int fd = open("/proc/self/maps", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return;
    char loadPath[256] = {};
    std::uintptr_t loadStart = 0;
    auto line = [&](const char* p, const char* end) {
        TMapping m;
        std::uintptr_t offset = 0;
        if (!ReadHex(p, end, m.Start) || p >= end || *p++ != '-' || !ReadHex(p, end, m.Stop))
            return true;
        for (int field = 0; field < 2; ++field) {  // perms, then the offset
            while (p < end && *p == ' ') ++p;
            if (field == 1 && !ReadHex(p, end, offset)) return true;
            while (p < end && *p != ' ') ++p;
        }
        for (int field = 0; field < 2; ++field) {  // device, inode
            while (p < end && *p == ' ') ++p;
            while (p < end && *p != ' ') ++p;
        }
        while (p < end && *p == ' ') ++p;
        m.Path = p;
        m.PathLength = static_cast<std::size_t>(end - p);
        if (m.PathLength == 0 || *p != '/' || m.PathLength >= sizeof loadPath) return true;
        const bool samePath =
            std::strlen(loadPath) == m.PathLength && std::memcmp(loadPath, p, m.PathLength) == 0;
        if (offset == 0) {
            std::memcpy(loadPath, p, m.PathLength);
            loadPath[m.PathLength] = '\0';
            loadStart = m.Start;
        }
        m.Base = offset == 0 || samePath ? loadStart : m.Start - offset;
        return visit(m);
    };
    char buffer[4096];
    std::size_t held = 0;
    bool skipping = false;  // the rest of a line too long to hold
    bool going = true;
    while (going) {
        const ssize_t n = read(fd, buffer + held, sizeof buffer - held);
        if (n <= 0) break;
        held += static_cast<std::size_t>(n);
        std::size_t begin = 0;
        for (std::size_t i = 0; i < held && going; ++i) {
            if (buffer[i] != '\n') continue;
            if (!skipping) going = line(buffer + begin, buffer + i);
            skipping = false;
            begin = i + 1;
        }
        if (begin == 0 && held == sizeof buffer) begin = held, skipping = true;
        std::memmove(buffer, buffer + begin, held - begin);
        held -= begin;
    }
    close(fd);
}

}  // namespace

// Only the loaded segments are compared: dladdr would also look for the
// nearest symbol, a scan of the module's whole symbol table that every
// throw would pay for.
const char* ModulePathOf(const void* address) {
    TPathSearch search{reinterpret_cast<std::uintptr_t>(address)};
    dl_iterate_phdr(FindPath, &search);
    return search.Path;
}

void FindModules(void* const* addresses, int count, TModuleSpot* spots) {
    TLoaderSearch search{addresses, count, spots};
    dl_iterate_phdr(FindInModule, &search);
}

void FindModulesSignalSafe(void* const* addresses, int count, TModuleSpot* spots) {
    ForEachFileMapping([&](const TMapping& m) {
        for (int i = 0; i < count; ++i) {
            const auto address = reinterpret_cast<std::uintptr_t>(addresses[i]);
            TModuleSpot& spot = spots[i];
            if (spot.Found || address < m.Start || address >= m.Stop) continue;
            spot.Found = true;
            const char* loaderPath = LoaderPathAt(m.Base);
            if (loaderPath != nullptr)
                CopyBaseName(loaderPath, std::strlen(loaderPath), spot.Name);
            else
                CopyBaseName(m.Path, m.PathLength, spot.Name);
            spot.Base = m.Base;
            spot.Offset = address - m.Base;
        }
        return true;
    });
}

void ModuleNameAt(const void* address, char* name, std::size_t size) {
    if (size == 0) return;
    name[0] = '\0';
    const auto wanted = reinterpret_cast<std::uintptr_t>(address);
    ForEachFileMapping([&](const TMapping& m) {
        if (wanted < m.Start || wanted >= m.Stop) return true;
        const char* path = LoaderPathAt(m.Base);
        const std::size_t length = path != nullptr ? std::strlen(path) : m.PathLength;
        if (path == nullptr) path = m.Path;
        const std::size_t taken = length < size - 1 ? length : size - 1;
        std::memcpy(name, path, taken);
        name[taken] = '\0';
        return false;
    });
}

}  // namespace zr::os
