#include "framework/Object.h"

#include "framework/TypeInfo.h"

namespace zr {

// The root has no parent and no factory: nothing is ever made as a bare TObject
// by name.
const TClassInfo& TObject::StaticClassInfo() {
    static const TClassInfo info = [] {
        TClassInfo i;
        i.Name = "TObject";
        return i;
    }();
    return info;
}

namespace {
[[maybe_unused]] const detail::ClassRegistration rootRegistration{TObject::StaticClassInfo()};
}

const std::string& TObject::ClassName() const {
    return ClassInfo().Name;
}

bool TObject::InheritsFrom(const TClassInfo& cls) const {
    return ClassInfo().InheritsFrom(cls);
}

}  // namespace zr
