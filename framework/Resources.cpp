#include "framework/Resources.h"

#include <dlfcn.h>
#include <sys/auxv.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <map>
#include <mutex>

#include "framework/Exceptions.h"

namespace zr {

namespace {

std::string Upper(std::string_view name) {
    std::string upper(name);
    for (char& ch : upper) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
    return upper;
}

struct Registry {
    std::mutex mutex;
    std::map<HINSTANCE, std::map<std::string, std::span<const std::uint8_t>>> modules;
};

// Never destroyed: a module's resource table unregisters from its own static
// destructor, which may run after this library's statics are gone.
Registry& TheRegistry() {
    static Registry* registry = new Registry;
    return *registry;
}

}  // namespace

HINSTANCE ModuleOfAddress(const void* address) {
    Dl_info info{};
    if (!address || dladdr(address, &info) == 0) return nullptr;
    return info.dli_fbase;
}

HINSTANCE MainInstance() {
    static const HINSTANCE main =
        ModuleOfAddress(reinterpret_cast<const void*>(getauxval(AT_ENTRY)));
    return main;
}

std::string ModuleFileName(HINSTANCE instance) {
    if (!instance) return {};
    if (instance == MainInstance()) {
        char path[4096];
        const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
        return n > 0 ? std::string(path, static_cast<std::size_t>(n)) : std::string();
    }
    // The base address is the module's mapped header, so it names the module.
    Dl_info info{};
    if (dladdr(instance, &info) == 0 || info.dli_fbase != instance || !info.dli_fname) return {};
    return info.dli_fname;
}

std::span<const std::uint8_t> FindResourceOrEmpty(HINSTANCE instance, std::string_view name) {
    if (!instance) instance = MainInstance();
    Registry& registry = TheRegistry();
    std::lock_guard lock(registry.mutex);
    auto module = registry.modules.find(instance);
    if (module == registry.modules.end()) return {};
    auto entry = module->second.find(Upper(name));
    return entry == module->second.end() ? std::span<const std::uint8_t>() : entry->second;
}

bool ResourceExists(HINSTANCE instance, std::string_view name) {
    if (!instance) instance = MainInstance();
    Registry& registry = TheRegistry();
    std::lock_guard lock(registry.mutex);
    auto module = registry.modules.find(instance);
    return module != registry.modules.end() && module->second.count(Upper(name)) != 0;
}

std::span<const std::uint8_t> FindResource(HINSTANCE instance, std::string_view name) {
    // An empty resource is still a resource: look it up by existence.
    if (!ResourceExists(instance, name))
        throw EResNotFound("Resource " + std::string(name) + " not found");
    return FindResourceOrEmpty(instance, name);
}

std::vector<std::string> ResourceNames(HINSTANCE instance) {
    if (!instance) instance = MainInstance();
    Registry& registry = TheRegistry();
    std::lock_guard lock(registry.mutex);
    std::vector<std::string> names;
    auto module = registry.modules.find(instance);
    if (module != registry.modules.end())
        for (const auto& entry : module->second) names.push_back(entry.first);
    return names;  // the map keeps them sorted
}

void RegisterResource(HINSTANCE instance, std::string_view name, const std::uint8_t* data,
                      std::size_t size) {
    Registry& registry = TheRegistry();
    std::lock_guard lock(registry.mutex);
    registry.modules[instance][Upper(name)] = std::span<const std::uint8_t>(data, size);
}

void UnregisterModuleResources(HINSTANCE instance) {
    Registry& registry = TheRegistry();
    std::lock_guard lock(registry.mutex);
    registry.modules.erase(instance);
}

}  // namespace zr
