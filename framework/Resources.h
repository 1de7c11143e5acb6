// Named resources compiled into each library. The build embeds every file of a
// module's resources folder (cmake/ZrResources.cmake) and registers it, when
// the module is loaded, under the module's instance handle: the base address
// at which the module is mapped. A lookup names the module, so a package finds
// its own resources by its own handle and never the application's.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace zr {

using HINSTANCE = void*;
using HMODULE = HINSTANCE;

// The instance handle of the module that holds `address` (code or data), or
// nullptr when no loaded module holds it.
HINSTANCE ModuleOfAddress(const void* address);
// The running executable's instance handle.
HINSTANCE MainInstance();
// The module's file path, "" when unknown.
std::string ModuleFileName(HINSTANCE instance);

// The calling module's own instance handle. It has internal linkage so each
// library gets its own copy, and the address it asks about lies in the
// module that called it.
[[maybe_unused]] static HINSTANCE HInstance() {
    return ModuleOfAddress(reinterpret_cast<const void*>(&HInstance));
}

// The bytes of resource `name` (case-insensitive) of the module `instance`
// (nullptr: the executable). Missing: EResNotFound "Resource <name> not found".
std::span<const std::uint8_t> FindResource(HINSTANCE instance, std::string_view name);
// The same, or an empty span when the module has no such resource.
std::span<const std::uint8_t> FindResourceOrEmpty(HINSTANCE instance, std::string_view name);
bool ResourceExists(HINSTANCE instance, std::string_view name);
// The names a module carries, upper-cased, sorted.
std::vector<std::string> ResourceNames(HINSTANCE instance);

// Called by the generated resource tables when a module is loaded and
// unloaded. The bytes must outlive the registration (they are the module's
// own constant data). Names are kept upper-cased.
void RegisterResource(HINSTANCE instance, std::string_view name, const std::uint8_t* data,
                      std::size_t size);
void UnregisterModuleResources(HINSTANCE instance);

}  // namespace zr
