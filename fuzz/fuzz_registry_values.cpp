// Feeds arbitrary bytes to the registry store's values file parser. Whatever
// it accepts must be written back to a text that reads as the same values,
// byte for byte: the store rewrites that file on every change.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "platform/RegistryValues.h"

using namespace zr::os::regstore;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    auto values = ParseValues({reinterpret_cast<const char*>(data), size});
    if (!values) return 0;
    auto again = ParseValues(FormatValues(*values));
    if (!again || again->size() != values->size()) std::abort();
    for (std::size_t i = 0; i < values->size(); ++i) {
        const auto& a = (*values)[i];
        const auto& b = (*again)[i];
        if (a.Name != b.Name || a.Type != b.Type || a.Data != b.Data) std::abort();
    }
    return 0;
}
