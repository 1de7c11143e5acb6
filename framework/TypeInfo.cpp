#include "framework/TypeInfo.h"

#include "framework/SysUtils.h"

#include <cxxabi.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <memory>
#include <map>
#include <mutex>

namespace zr {

namespace {

std::string_view TrimSpaces(std::string_view text) {
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front())))
        text.remove_prefix(1);
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back())))
        text.remove_suffix(1);
    return text;
}

}  // namespace

// ---- enumerations --------------------------------------------------------

std::vector<std::string> SplitEnumNames(std::string_view list) {
    std::vector<std::string> names;
    if (TrimSpaces(list).empty()) return names;
    for (;;) {
        const auto comma = list.find(',');
        std::string_view item = list.substr(0, comma);
        // An enumerator written with an initialiser ("a = 2") is named by its
        // identifier alone.
        item = TrimSpaces(item.substr(0, item.find('=')));
        names.emplace_back(item);
        if (comma == std::string_view::npos) break;
        list.remove_prefix(comma + 1);
    }
    return names;
}

std::string GetEnumName(const TEnumInfo& info, int64_t value) {
    if (value < 0 || value >= static_cast<int64_t>(info.Names.size())) return {};
    return info.Names[static_cast<size_t>(value)];
}

int64_t GetEnumValue(const TEnumInfo& info, std::string_view name) {
    for (size_t i = 0; i < info.Names.size(); ++i)
        if (SameText(info.Names[i], name)) return static_cast<int64_t>(i);
    return -1;
}

// ---- properties and classes ----------------------------------------------

bool TPropInfo::ReadOnly() const {
    switch (Kind) {
        case tkInteger:
        case tkEnumeration:
        case tkSet:
            return !SetOrd;
        case tkFloat:
            return !SetFloat;
        case tkString:
            return !SetStr;
        case tkClass:
            return !SetObject;
        case tkMethod:
            return !SetMethodByName;
        case tkStrings:
            return !SetLines;
        case tkBinary:
            return !SetBytes;
        case tkUnknown:
            break;
    }
    return true;
}

bool TClassInfo::InheritsFrom(const TClassInfo& other) const {
    for (const TClassInfo* c = this; c; c = c->Parent)
        if (c == &other) return true;
    return false;
}

std::vector<const TPropInfo*> TClassInfo::AllProperties() const {
    std::vector<const TPropInfo*> all =
        Parent ? Parent->AllProperties() : std::vector<const TPropInfo*>{};
    for (const TPropInfo& p : Properties) {
        // A class that republishes an inherited property replaces it in place,
        // so a writer still meets it where the ancestor put it.
        auto same = std::find_if(all.begin(), all.end(),
                                 [&](const TPropInfo* q) { return SameText(q->Name, p.Name); });
        if (same != all.end())
            *same = &p;
        else
            all.push_back(&p);
    }
    return all;
}

const TPropInfo* TClassInfo::FindProperty(std::string_view name) const {
    for (const TClassInfo* c = this; c; c = c->Parent)
        for (const TPropInfo& p : c->Properties)
            if (SameText(p.Name, name)) return &p;
    return nullptr;
}

const TMethodInfo* TClassInfo::FindMethod(std::string_view name) const {
    for (const TClassInfo* c = this; c; c = c->Parent)
        for (const TMethodInfo& m : c->Methods)
            if (SameText(m.Name, name)) return &m;
    return nullptr;
}

// ---- the class registry -------------------------------------------------

namespace {

// Classes register themselves from static initialisers in every library, in
// an order nobody controls, and may unregister from static destructors; so the
// registry is made on first use and never destroyed. Each name keeps a stack:
// a library that registers a class of a name already known shadows it until
// it unregisters again, and the earlier class comes back.
struct ClassRegistry {
    std::mutex lock;
    std::map<std::string, std::vector<const TClassInfo*>> byName;
};

ClassRegistry& Registry() {
    static ClassRegistry* registry = new ClassRegistry;
    return *registry;
}

}  // namespace

void RegisterClass(const TClassInfo& cls) {
    ClassRegistry& r = Registry();
    std::lock_guard guard(r.lock);
    auto& stack = r.byName[LowerCase(cls.Name)];
    stack.erase(std::remove(stack.begin(), stack.end(), &cls), stack.end());
    stack.push_back(&cls);
}

void UnRegisterClass(const TClassInfo& cls) {
    ClassRegistry& r = Registry();
    std::lock_guard guard(r.lock);
    auto it = r.byName.find(LowerCase(cls.Name));
    if (it == r.byName.end()) return;
    auto& stack = it->second;
    stack.erase(std::remove(stack.begin(), stack.end(), &cls), stack.end());
    if (stack.empty()) r.byName.erase(it);
}

const TClassInfo* GetClass(std::string_view name) {
    ClassRegistry& r = Registry();
    std::lock_guard guard(r.lock);
    auto it = r.byName.find(LowerCase(name));
    return it == r.byName.end() ? nullptr : it->second.back();
}

const TClassInfo& FindClass(std::string_view name) {
    if (const TClassInfo* cls = GetClass(name)) return *cls;
    throw EClassNotFound("Class " + std::string(name) + " not found");
}

// ---- generic property access ----------------------------------------------

namespace {

std::string ClassNameOf(const TObject* instance) {
    return instance ? instance->ClassName() : "nil";
}

const TPropInfo& RequireProp(const TObject* instance, std::string_view name) {
    if (!instance) throw Exception("Property " + std::string(name) + " of a nil object");
    const TPropInfo* p = GetPropInfo(instance, name);
    if (!p) throw Exception("Unknown property " + std::string(name));
    return *p;
}

[[noreturn]] void WrongKind(const TObject* instance, const TPropInfo& p, const char* wanted) {
    throw EConvertError("Property " + p.Name + " of " + ClassNameOf(instance) + " is not " +
                        wanted);
}

// The property is of a wanted kind but has no writer.
[[noreturn]] void ReadOnlyProp(const TPropInfo& p) {
    throw EPropReadOnly("Property " + p.Name + " is read-only");
}

// The property is of a wanted kind but has no reader.
[[noreturn]] void WriteOnlyProp(const TPropInfo& p) {
    throw EPropWriteOnly("Property " + p.Name + " is write-only");
}

bool IsOrdinal(TTypeKind kind) {
    return kind == tkInteger || kind == tkEnumeration || kind == tkSet;
}

}  // namespace

const TPropInfo* GetPropInfo(const TObject* instance, std::string_view name) {
    return instance ? instance->ClassInfo().FindProperty(name) : nullptr;
}

std::string GetStrProp(const TObject* instance, std::string_view name) {
    const TPropInfo& p = RequireProp(instance, name);
    if (p.Kind != tkString) WrongKind(instance, p, "a string");
    if (!p.GetStr) WriteOnlyProp(p);
    return p.GetStr(instance);
}

void SetStrProp(TObject* instance, std::string_view name, const std::string& value) {
    const TPropInfo& p = RequireProp(instance, name);
    if (p.Kind != tkString) WrongKind(instance, p, "a string");
    if (!p.SetStr) ReadOnlyProp(p);
    p.SetStr(instance, value);
}

int64_t GetOrdProp(const TObject* instance, std::string_view name) {
    const TPropInfo& p = RequireProp(instance, name);
    if (!IsOrdinal(p.Kind)) WrongKind(instance, p, "an ordinal");
    if (!p.GetOrd) WriteOnlyProp(p);
    return p.GetOrd(instance);
}

void SetOrdProp(TObject* instance, std::string_view name, int64_t value) {
    const TPropInfo& p = RequireProp(instance, name);
    if (!IsOrdinal(p.Kind)) WrongKind(instance, p, "an ordinal");
    if (!p.SetOrd) ReadOnlyProp(p);
    p.SetOrd(instance, value);
}

double GetFloatProp(const TObject* instance, std::string_view name) {
    const TPropInfo& p = RequireProp(instance, name);
    if (p.Kind != tkFloat) WrongKind(instance, p, "a floating point");
    if (!p.GetFloat) WriteOnlyProp(p);
    return p.GetFloat(instance);
}

void SetFloatProp(TObject* instance, std::string_view name, double value) {
    const TPropInfo& p = RequireProp(instance, name);
    if (p.Kind != tkFloat) WrongKind(instance, p, "a floating point");
    if (!p.SetFloat) ReadOnlyProp(p);
    p.SetFloat(instance, value);
}

TObject* GetObjectProp(const TObject* instance, std::string_view name) {
    const TPropInfo& p = RequireProp(instance, name);
    if (p.Kind != tkClass) WrongKind(instance, p, "an object");
    if (!p.GetObject) WriteOnlyProp(p);
    return p.GetObject(instance);
}

void SetObjectProp(TObject* instance, std::string_view name, TObject* value) {
    const TPropInfo& p = RequireProp(instance, name);
    if (p.Kind != tkClass) WrongKind(instance, p, "an object");
    if (!p.SetObject) ReadOnlyProp(p);
    p.SetObject(instance, value);
}

bool IsStoredProp(const TObject* instance, const TPropInfo& prop) {
    if (prop.StoredTest && !prop.StoredTest(instance)) return false;
    if (!prop.HasDefault()) return true;
    // A value that cannot be read or compared with the default is stored, so
    // nothing is lost by writing too much.
    if (IsOrdinal(prop.Kind) && prop.GetOrd) {
        const int64_t value = prop.GetOrd(instance);
        if (auto* d = std::get_if<int64_t>(&prop.Default)) return value != *d;
        if (auto* d = std::get_if<std::string>(&prop.Default))
            return prop.EnumType == nullptr || prop.Kind == tkSet ||
                   !SameText(GetEnumName(*prop.EnumType, value), *d);
        return true;
    }
    if (prop.Kind == tkFloat && prop.GetFloat) {
        const double value = prop.GetFloat(instance);
        if (auto* d = std::get_if<double>(&prop.Default)) return value != *d;
        if (auto* d = std::get_if<int64_t>(&prop.Default)) return value != static_cast<double>(*d);
        return true;
    }
    if (prop.Kind == tkString && prop.GetStr) {
        if (auto* d = std::get_if<std::string>(&prop.Default)) return prop.GetStr(instance) != *d;
        return true;
    }
    if (prop.Kind == tkMethod && prop.GetMethodName) {
        if (auto* d = std::get_if<std::string>(&prop.Default))
            return prop.GetMethodName(instance) != *d;
        return true;
    }
    return true;
}

namespace detail {

std::string ReadableTypeName(const std::type_info& type) {
    int status = 0;
    const std::unique_ptr<char, decltype(&std::free)> demangled(
        abi::__cxa_demangle(type.name(), nullptr, nullptr, &status), &std::free);
    std::string name = status == 0 && demangled ? demangled.get() : type.name();
    const auto replaceAll = [&name](const std::string& from, const std::string& to) {
        for (size_t at = 0; (at = name.find(from, at)) != std::string::npos; at += to.size())
            name.replace(at, from.size(), to);
    };
    replaceAll("std::__cxx11::basic_string<char, std::char_traits<char>, std::allocator<char> >",
               "std::string");
    replaceAll("zr::os::", "");
    replaceAll("zr::", "");
    return name;
}

}  // namespace detail

}  // namespace zr
