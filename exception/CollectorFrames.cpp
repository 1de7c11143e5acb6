#include "exception/CollectorFrames.h"

#include <cxxabi.h>
#include <dlfcn.h>
#include <elf.h>
#include <link.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "exception/KVMapFile.h"
#include "framework/ExceptAddr.h"

namespace zr {

namespace {

std::string HexBytes(const unsigned char* bytes, std::size_t count) {
    std::string hex;
    for (std::size_t i = 0; i < count; ++i) {
        hex += "0123456789abcdef"[bytes[i] >> 4];
        hex += "0123456789abcdef"[bytes[i] & 15];
    }
    return hex;
}

// The GNU build id from the module's loaded note segments.
std::string BuildIdOf(const dl_phdr_info* info) {
    for (int i = 0; i < info->dlpi_phnum; ++i) {
        const ElfW(Phdr)& segment = info->dlpi_phdr[i];
        if (segment.p_type != PT_NOTE) continue;
        const auto* p = reinterpret_cast<const unsigned char*>(info->dlpi_addr + segment.p_vaddr);
        const unsigned char* end = p + segment.p_memsz;
        while (p + sizeof(ElfW(Nhdr)) <= end) {
            const auto* note = reinterpret_cast<const ElfW(Nhdr)*>(p);
            const unsigned char* name = p + sizeof(ElfW(Nhdr));
            const unsigned char* desc = name + ((note->n_namesz + 3) & ~3u);
            if (desc + note->n_descsz > end) break;
            if (note->n_type == NT_GNU_BUILD_ID && note->n_namesz == 4 &&
                std::memcmp(name, "GNU", 4) == 0)
                return HexBytes(desc, note->n_descsz);
            p = desc + ((note->n_descsz + 3) & ~3u);
        }
    }
    return "";
}

std::string ProgramPath() {
    char path[4096];
    const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
    return length > 0 ? std::string(path, static_cast<std::size_t>(length)) : "";
}

int AddModule(dl_phdr_info* info, size_t, void* data) {
    auto* modules = static_cast<std::vector<TLoadedModule>*>(data);
    const bool program = modules->empty();
    const char* name = info->dlpi_name;
    // The loader's own virtual library has no file to name.
    if (!program && (name == nullptr || name[0] == '\0')) return 0;
    TLoadedModule module;
    module.IsProgram = program;
    module.Path = program ? ProgramPath() : name;
    module.Base = info->dlpi_addr;
    bool any = false;
    for (int i = 0; i < info->dlpi_phnum; ++i) {
        const ElfW(Phdr)& segment = info->dlpi_phdr[i];
        if (segment.p_type != PT_LOAD) continue;
        const std::uintptr_t begin = info->dlpi_addr + segment.p_vaddr;
        const std::uintptr_t end = begin + segment.p_memsz;
        if (!any || begin < module.Begin) module.Begin = begin;
        if (!any || end > module.End) module.End = end;
        any = true;
    }
    if (!any) return 0;
    module.BuildId = BuildIdOf(info);
    modules->push_back(std::move(module));
    return 0;
}

const TLoadedModule* ModuleAt(const std::vector<TLoadedModule>& modules, std::uintptr_t address) {
    for (const TLoadedModule& module : modules)
        if (address >= module.Begin && address < module.End) return &module;
    return nullptr;
}

std::string Demangled(const char* symbol) {
    int status = 0;
    char* plain = abi::__cxa_demangle(symbol, nullptr, nullptr, &status);
    if (plain == nullptr) return symbol;
    std::string name = plain;
    std::free(plain);
    return name;
}

std::string BaseNameOf(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// A frame of the program, named from the map.
void NameFromMap(TEventFrame& frame, const TKVMapFile* map, void* runtime, bool first) {
    if (map == nullptr || !map->MapLoaded()) return;
    const auto reported = reinterpret_cast<std::uintptr_t>(ReportedAddress(runtime));
    if (reported > UINT32_MAX) return;
    // A return address lies after its call, possibly on the next line.
    const std::uint32_t offset =
        static_cast<std::uint32_t>(reported) - map->CodeBase() - (first ? 0 : 1);
    const TKVMapFile::TMapSourceView found = map->Resolve(offset);
    frame.Function = std::string(found.Procedure);
    frame.Line = found.Line;
    if (found.Unit.empty()) return;
    const std::string source = MapSourceFile(*map, std::string(found.Unit));
    frame.File = source.empty() ? std::string(found.Unit) : BaseNameOf(source);
    if (source.find('/') != std::string::npos) frame.AbsPath = source;
}

}  // namespace

std::vector<TLoadedModule> LoadedModules() {
    std::vector<TLoadedModule> modules;
    dl_iterate_phdr(AddModule, &modules);
    return modules;
}

std::string MapSourceFile(const TKVMapFile& map, const std::string& unit) {
    const std::string prefix = "Line numbers for " + unit + "(";
    const TStringList& lines = map.LineNumbers();
    for (int i = 0; i < lines.Count(); ++i) {
        const std::string line = lines[i];
        if (line.rfind(prefix, 0) != 0) continue;
        const std::size_t close = line.find(')', prefix.size());
        if (close != std::string::npos) return line.substr(prefix.size(), close - prefix.size());
    }
    return "";
}

std::vector<TEventFrame> EventFrames(const TKVMapFile* map, void* const* frames, int count,
                                     const std::vector<TLoadedModule>& modules) {
    std::vector<TEventFrame> out;
    for (int i = count - 1; i >= 0; --i) {
        TEventFrame frame;
        frame.Address = reinterpret_cast<std::uintptr_t>(frames[i]);
        const TLoadedModule* module = ModuleAt(modules, frame.Address);
        if (module != nullptr) frame.ImageAddress = module->Base != 0 ? module->Base : module->Begin;
        if (module != nullptr && module->IsProgram) {
            frame.InApp = true;
            NameFromMap(frame, map, frames[i], i == 0);
        } else if (module != nullptr) {
            frame.Package = module->Path;
            Dl_info info{};
            if (dladdr(frames[i], &info) != 0 && info.dli_sname != nullptr)
                frame.Function = Demangled(info.dli_sname);
        }
        out.push_back(std::move(frame));
    }
    return out;
}

TEventImage ImageOf(const TLoadedModule& module) {
    TEventImage image;
    image.CodeFile = module.Path;
    image.Address = module.Base != 0 ? module.Base : module.Begin;
    image.Size = module.End - image.Address;
    image.BuildId = module.BuildId;
    return image;
}

std::vector<TEventImage> EventImages(const std::vector<TEventFrame>& frames,
                                     const std::vector<TLoadedModule>& modules) {
    std::vector<TEventImage> images;
    for (const TLoadedModule& module : modules) {
        bool used = module.IsProgram;
        for (const TEventFrame& frame : frames)
            used = used || (frame.Address >= module.Begin && frame.Address < module.End);
        if (used) images.push_back(ImageOf(module));
    }
    return images;
}

}  // namespace zr
