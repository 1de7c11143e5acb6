#include "framework/FormConsts.h"

#include <map>
#include <mutex>

#include "framework/SysUtils.h"

namespace zr {

namespace {

// Keyed by the property's type information, which lives as long as the
// process and is shared by every descendant of the publishing class.
struct ConstsRegistry {
    std::mutex lock;
    std::map<const TPropInfo*, TIntegerConsts> names;
};

ConstsRegistry& Registry() {
    static ConstsRegistry registry;
    return registry;
}

}  // namespace

void RegisterIntegerConsts(const TPropInfo& prop, TIntegerConsts names) {
    ConstsRegistry& r = Registry();
    std::lock_guard<std::mutex> hold(r.lock);
    r.names[&prop] = std::move(names);
}

void RegisterIntegerConsts(const TClassInfo& cls, std::string_view property, TIntegerConsts names) {
    const TPropInfo* prop = cls.FindProperty(property);
    if (!prop)
        throw EInvalidOperation("Property " + std::string(property) + " does not exist in " +
                                cls.Name);
    RegisterIntegerConsts(*prop, std::move(names));
}

std::optional<std::int64_t> IdentToInteger(const TPropInfo& prop, std::string_view name) {
    ConstsRegistry& r = Registry();
    std::lock_guard<std::mutex> hold(r.lock);
    auto it = r.names.find(&prop);
    if (it == r.names.end()) return std::nullopt;
    for (const auto& [ident, value] : it->second)
        if (SameText(ident, name)) return value;
    return std::nullopt;
}

std::optional<std::string> IntegerToIdent(const TPropInfo& prop, std::int64_t value) {
    ConstsRegistry& r = Registry();
    std::lock_guard<std::mutex> hold(r.lock);
    auto it = r.names.find(&prop);
    if (it == r.names.end()) return std::nullopt;
    for (const auto& [ident, v] : it->second)
        if (v == value) return ident;
    return std::nullopt;
}

}  // namespace zr
