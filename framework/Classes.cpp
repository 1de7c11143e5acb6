#include "framework/Classes.h"

#include <algorithm>

#include "framework/RuntimeInterface.h"
#include "framework/SysUtils.h"

namespace zr {

const TPalettePage* TPaletteRegistry::FindPage(const std::string& name) const {
    for (const TPalettePage& page : pages_)
        if (SameText(page.Name, name)) return &page;
    return nullptr;
}

void TPaletteRegistry::Clear() {
    pages_.clear();
    registrations_ = 0;
}

TPaletteRegistry& PaletteRegistry() {
    static TPaletteRegistry registry;
    return registry;
}

void RegisterComponents(const std::string& page, std::initializer_list<const TClassInfo*> classes) {
    if (page.empty()) throw EComponentError("A palette page needs a name");
    for (const TClassInfo* cls : classes)
        if (cls == nullptr || !cls->CreateComponent)
            throw EComponentError("Only components can be placed on the palette page " + page);
    TPaletteRegistry& registry = PaletteRegistry();
    ++registry.registrations_;
    auto* found = const_cast<TPalettePage*>(registry.FindPage(page));
    if (found == nullptr) {
        registry.pages_.push_back({page, {}});
        found = &registry.pages_.back();
    }
    for (const TClassInfo* cls : classes) {
        RegisterClass(*cls);
        if (std::find(found->Classes.begin(), found->Classes.end(), cls) == found->Classes.end())
            found->Classes.push_back(cls);
    }
}

}  // namespace zr

extern "C" int zr_RuntimeInterface() {
    return zr::kRuntimeInterface;
}
