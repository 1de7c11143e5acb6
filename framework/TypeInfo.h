// Run-time type information: per class its name, parent, factory (the virtual
// constructor), published properties and published methods; per enumeration
// its value names. Form files, the designer and generic code read and write
// properties by name through it.
//
// Publishing a class takes a few lines in its source file:
//
//   ZR_REGISTER_CLASS(TKVLogBase, c) {
//       c.Property("Active", &TKVLogBase::Active, &TKVLogBase::SetActive);
//       c.Property("LogFile", &TKVLogBase::LogFile,
//       &TKVLogBase::SetLogFile).Default("kvevents.log");
//   }
#pragma once

#include <any>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <typeinfo>
#include <variant>
#include <vector>

#include "Event.h"
#include "Exceptions.h"
#include "FloatType.h"
#include "Object.h"
#include "Set.h"

namespace zr {

class TComponent;
class TCollection;
class TCollectionItem;

enum TTypeKind {
    tkUnknown,
    tkInteger,      // integers of up to 64 bits
    tkFloat,        // double, TDateTime
    tkString,       // std::string
    tkEnumeration,  // enumerations and Boolean
    tkSet,          // zr::Set<E>
    tkClass,        // pointer to a TObject descendant (sub-object or component reference)
    tkMethod,       // an event (TClosure)
    tkStrings,      // a list of lines (the Strings of a TStrings)
    tkBinary,       // a block of bytes (picture data)
};

// ---- enumerations --------------------------------------------------------

struct TEnumInfo {
    std::string Name;
    std::vector<std::string> Names;
};

// Splits "a, b, c" (a stringified macro argument list) into names.
std::vector<std::string> SplitEnumNames(std::string_view list);

template <class E>
struct EnumTraits;  // specialised by ZR_ENUM

// Publishes an enumeration's value names; use inside namespace zr, in the
// header that declares the enumeration, listing the values in order.
#define ZR_ENUM(Type, ...)                                                                \
    template <>                                                                           \
    struct EnumTraits<Type> {                                                             \
        static const ::zr::TEnumInfo& Info() {                                            \
            static const ::zr::TEnumInfo info{#Type, ::zr::SplitEnumNames(#__VA_ARGS__)}; \
            return info;                                                                  \
        }                                                                                 \
    }

template <>
struct EnumTraits<bool> {
    static const TEnumInfo& Info() {
        static const TEnumInfo info{"Boolean", {"False", "True"}};
        return info;
    }
};

template <class E>
const TEnumInfo& EnumInfo() {
    return EnumTraits<E>::Info();
}

// The value's name, or "" when out of range.
std::string GetEnumName(const TEnumInfo& info, int64_t value);
// The value for a name (case-insensitive), or -1 when there is none.
int64_t GetEnumValue(const TEnumInfo& info, std::string_view name);

// ---- properties -----------------------------------------------------------

using TPropDefault = std::variant<std::monostate, int64_t, double, std::string>;

struct TPropInfo {
    std::string Name;
    TTypeKind Kind = tkUnknown;
    const TEnumInfo* EnumType = nullptr;  // enumerations and Boolean; element type of a set
    const struct TClassInfo* ClassType = nullptr;  // declared class of a tkClass property
    // tkFloat: what the number stands for; a float reader is a single, a
    // date-time or currency value says so with AsDateTime / AsCurrency.
    TFloatType FloatType = TFloatType::Double;

    std::function<int64_t(const TObject*)> GetOrd;  // tkInteger, tkEnumeration, tkSet (mask)
    std::function<void(TObject*, int64_t)> SetOrd;
    std::function<double(const TObject*)> GetFloat;
    std::function<void(TObject*, double)> SetFloat;
    std::function<std::string(const TObject*)> GetStr;
    std::function<void(TObject*, const std::string&)> SetStr;
    std::function<TObject*(const TObject*)> GetObject;
    std::function<void(TObject*, TObject*)> SetObject;
    std::function<std::vector<std::string>(const TObject*)> GetLines;
    std::function<void(TObject*, const std::vector<std::string>&)> SetLines;
    std::function<std::vector<std::uint8_t>(const TObject*)> GetBytes;
    std::function<void(TObject*, const std::vector<std::uint8_t>&)> SetBytes;
    // tkMethod: the bound method's published name ("" when unassigned), and
    // binding a published method of `methodOwner` by name (EMethodNotFound when
    // it has none of that name and shape; an empty name clears the event).
    std::function<std::string(const TObject*)> GetMethodName;
    std::function<void(TObject*, TObject* methodOwner, const std::string&)> SetMethodByName;
    // tkMethod: the handler's parameter types as C++ spells them
    // ("TObject*", "std::string&"), for reference pages and designers.
    std::vector<std::string> EventParams;

    TPropDefault Default;  // monostate: no declared default, always stored
    std::function<bool(const TObject*)> StoredTest;  // empty: stored
    // tkInteger: the name a reader knows a value by (a registry root key
    // rather than its number), or nullptr; for reference pages and designers.
    const char* (*IntegerName)(std::int64_t) = nullptr;

    bool HasDefault() const { return !std::holds_alternative<std::monostate>(Default); }
    bool ReadOnly() const;
};

// A published method: a type-erased binder that makes an event closure of the
// method's exact shape for a given instance.
struct TMethodInfo {
    std::string Name;
    std::any Binder;  // std::function<TClosure<Args...>(TObject*)>
};

// ---- classes ---------------------------------------------------------------

struct TClassInfo {
    std::string Name;
    const TClassInfo* Parent = nullptr;
    // The virtual constructor: null for classes that cannot be made by name.
    std::function<TComponent*(TComponent* owner)> CreateComponent;
    std::function<TObject*()> CreateObject;  // default-constructible persistents
    // Collection items: made inside the collection that will hold them.
    std::function<TCollectionItem*(TCollection* collection)> CreateItem;
    std::vector<TPropInfo> Properties;  // this class's own, in published order
    std::vector<TMethodInfo> Methods;

    bool InheritsFrom(const TClassInfo& other) const;
    // Own and inherited properties, the parent's first.
    std::vector<const TPropInfo*> AllProperties() const;
    const TPropInfo* FindProperty(std::string_view name) const;  // case-insensitive
    const TMethodInfo* FindMethod(std::string_view name) const;  // case-insensitive
};

// ---- the class registry -------------------------------------------------

void RegisterClass(const TClassInfo& cls);
void UnRegisterClass(const TClassInfo& cls);
const TClassInfo* GetClass(std::string_view name);   // nullptr when unknown
const TClassInfo& FindClass(std::string_view name);  // EClassNotFound "Class <name> not found"

// ---- generic property access ----------------------------------------------

const TPropInfo* GetPropInfo(const TObject* instance, std::string_view name);  // nullptr
std::string GetStrProp(const TObject* instance, std::string_view name);
void SetStrProp(TObject* instance, std::string_view name, const std::string& value);
int64_t GetOrdProp(const TObject* instance, std::string_view name);
void SetOrdProp(TObject* instance, std::string_view name, int64_t value);
double GetFloatProp(const TObject* instance, std::string_view name);
void SetFloatProp(TObject* instance, std::string_view name, double value);
TObject* GetObjectProp(const TObject* instance, std::string_view name);
void SetObjectProp(TObject* instance, std::string_view name, TObject* value);
// False when the property's stored test says so, or when its value equals the
// declared default; a property without a declared default is stored.
bool IsStoredProp(const TObject* instance, const TPropInfo& prop);

// ---- publishing ------------------------------------------------------------

namespace detail {

template <class V>
struct IsSet : std::false_type {};
template <class E>
struct IsSet<Set<E>> : std::true_type {
    using Element = E;
};

template <class V>
struct IsClosure : std::false_type {};
template <class... A>
struct IsClosure<TClosure<A...>> : std::true_type {};

// A type's name without the namespace noise of its mangled form.
std::string ReadableTypeName(const std::type_info& type);

// typeid drops references and qualifiers, which are what tell a handler's
// in-parameter from its var parameter; they are put back here.
template <class P>
std::string ParamTypeName() {
    if constexpr (std::is_lvalue_reference_v<P>)
        return ParamTypeName<std::remove_reference_t<P>>() + "&";
    else if constexpr (std::is_pointer_v<P>)
        return ParamTypeName<std::remove_pointer_t<P>>() + "*";
    else if constexpr (std::is_const_v<P>)
        return "const " + ParamTypeName<std::remove_const_t<P>>();
    else
        return ReadableTypeName(typeid(P));
}

template <class V>
struct ClosureParams;
template <class... A>
struct ClosureParams<TClosure<A...>> {
    static std::vector<std::string> Names() { return {ParamTypeName<A>()...}; }
};

template <class T, class G>
using GetterValue = std::remove_cvref_t<std::invoke_result_t<G, const T&>>;

template <class C, class... A>
std::function<TClosure<A...>(TObject*)> MakeBinder(void (C::*method)(A...), std::string name) {
    return
        [method, name](TObject* obj) { return TClosure<A...>(static_cast<C*>(obj), method, name); };
}

}  // namespace detail

template <class T>
class TClassBuilder {
  public:
    explicit TClassBuilder(TClassInfo& info) : info_(info) {}

    // Publishes a property through its reader and writer (member functions or
    // any callables taking the object). Pass nullptr as the writer for a
    // read-only property. The kind follows the reader's value type.
    template <class G, class S>
    TClassBuilder& Property(const char* name, G getter, S setter) {
        using V = detail::GetterValue<T, G>;
        TPropInfo p;
        p.Name = name;
        constexpr bool writable = !std::is_same_v<S, std::nullptr_t>;
        auto get = [getter](const TObject* o) -> decltype(auto) {
            return std::invoke(getter, *static_cast<const T*>(o));
        };
        auto set = [setter](TObject* o, auto&& v) {
            if constexpr (writable)
                std::invoke(setter, *static_cast<T*>(o), std::forward<decltype(v)>(v));
            else
                (void)setter;  // read-only: clang would call the capture unused
        };
        if constexpr (std::is_same_v<V, bool>) {
            p.Kind = tkEnumeration;
            p.EnumType = &EnumInfo<bool>();
            p.GetOrd = [get](const TObject* o) -> int64_t { return get(o) ? 1 : 0; };
            if constexpr (writable) p.SetOrd = [set](TObject* o, int64_t v) { set(o, v != 0); };
        } else if constexpr (std::is_enum_v<V>) {
            p.Kind = tkEnumeration;
            p.EnumType = &EnumInfo<V>();
            p.GetOrd = [get](const TObject* o) -> int64_t { return static_cast<int64_t>(get(o)); };
            if constexpr (writable)
                p.SetOrd = [set](TObject* o, int64_t v) {
                    // A value outside the enumeration would be no value of it
                    // at all; refuse it before it reaches the object.
                    if (v < 0 || v >= static_cast<int64_t>(EnumInfo<V>().Names.size()))
                        throw ERangeError("Value " + std::to_string(v) + " is out of range for " +
                                          EnumInfo<V>().Name);
                    set(o, static_cast<V>(v));
                };
        } else if constexpr (std::is_integral_v<V>) {
            p.Kind = tkInteger;
            p.GetOrd = [get](const TObject* o) -> int64_t { return static_cast<int64_t>(get(o)); };
            if constexpr (writable)
                p.SetOrd = [set](TObject* o, int64_t v) { set(o, static_cast<V>(v)); };
        } else if constexpr (detail::IsSet<V>::value) {
            p.Kind = tkSet;
            p.EnumType = &EnumInfo<typename detail::IsSet<V>::Element>();
            p.GetOrd = [get](const TObject* o) -> int64_t {
                return static_cast<int64_t>(get(o).Mask());
            };
            if constexpr (writable)
                p.SetOrd = [set](TObject* o, int64_t v) {
                    set(o, V::FromMask(static_cast<std::uint64_t>(v)));
                };
        } else if constexpr (std::is_floating_point_v<V>) {
            p.Kind = tkFloat;
            if constexpr (std::is_same_v<V, float>) p.FloatType = TFloatType::Single;
            p.GetFloat = [get](const TObject* o) -> double { return get(o); };
            if constexpr (writable)
                p.SetFloat = [set](TObject* o, double v) { set(o, static_cast<V>(v)); };
        } else if constexpr (std::is_same_v<V, std::string>) {
            p.Kind = tkString;
            p.GetStr = [get](const TObject* o) -> std::string { return get(o); };
            if constexpr (writable)
                p.SetStr = [set](TObject* o, const std::string& v) { set(o, v); };
        } else if constexpr (std::is_same_v<V, std::vector<std::string>>) {
            p.Kind = tkStrings;
            p.GetLines = [get](const TObject* o) { return std::vector<std::string>(get(o)); };
            if constexpr (writable)
                p.SetLines = [set](TObject* o, const std::vector<std::string>& v) { set(o, v); };
        } else if constexpr (std::is_same_v<V, std::vector<std::uint8_t>>) {
            p.Kind = tkBinary;
            p.GetBytes = [get](const TObject* o) { return std::vector<std::uint8_t>(get(o)); };
            if constexpr (writable)
                p.SetBytes = [set](TObject* o, const std::vector<std::uint8_t>& v) { set(o, v); };
        } else if constexpr (std::is_pointer_v<V> &&
                             std::is_base_of_v<TObject,
                                               std::remove_cv_t<std::remove_pointer_t<V>>>) {
            using C = std::remove_cv_t<std::remove_pointer_t<V>>;
            p.Kind = tkClass;
            p.ClassType = &C::StaticClassInfo();
            p.GetObject = [get](const TObject* o) -> TObject* { return const_cast<C*>(get(o)); };
            if constexpr (writable)
                p.SetObject = [set](TObject* o, TObject* v) {
                    if (v && !v->InheritsFrom(C::StaticClassInfo()))
                        throw EInvalidCast("Invalid class typecast");
                    set(o, static_cast<C*>(v));
                };
        } else if constexpr (detail::IsClosure<V>::value) {
            p.Kind = tkMethod;
            p.EventParams = detail::ClosureParams<V>::Names();
            p.GetMethodName = [get](const TObject* o) { return get(o).MethodName(); };
            if constexpr (writable)
                p.SetMethodByName = [set](TObject* o, TObject* owner, const std::string& method) {
                    if (method.empty()) return set(o, V{});
                    const TMethodInfo* m = owner ? owner->ClassInfo().FindMethod(method) : nullptr;
                    auto* binder =
                        m ? std::any_cast<std::function<V(TObject*)>>(&m->Binder) : nullptr;
                    if (!binder) throw EMethodNotFound("Method " + method + " not found");
                    set(o, (*binder)(owner));
                };
        } else {
            static_assert(sizeof(V) == 0, "unsupported published property type");
        }
        info_.Properties.push_back(std::move(p));
        return *this;
    }

    // The declared default of the property published last.
    TClassBuilder& Default(int64_t value) { return SetDefault(value); }
    TClassBuilder& Default(int value) { return SetDefault(int64_t{value}); }
    TClassBuilder& Default(bool value) { return SetDefault(int64_t{value ? 1 : 0}); }
    TClassBuilder& Default(double value) { return SetDefault(value); }
    TClassBuilder& Default(const char* value) { return SetDefault(std::string(value)); }
    TClassBuilder& Default(std::string value) { return SetDefault(std::move(value)); }
    // Any other integer (unsigned colours, 64-bit sizes) without an
    // ambiguous choice among the overloads above.
    template <class I, std::enable_if_t<std::is_integral_v<I> && !std::is_same_v<I, bool>, int> = 0>
    TClassBuilder& Default(I value) {
        return SetDefault(static_cast<int64_t>(value));
    }
    template <class E, std::enable_if_t<std::is_enum_v<E>, int> = 0>
    TClassBuilder& Default(E value) {
        return SetDefault(static_cast<int64_t>(value));
    }
    template <class E>
    TClassBuilder& Default(Set<E> value) {
        return SetDefault(static_cast<int64_t>(value.Mask()));
    }
    // The float property published last holds a date-time (days since
    // 1899-12-30) or a currency value, which a double alone cannot tell.
    TClassBuilder& AsDateTime() { return SetFloatType(TFloatType::DateTime); }
    TClassBuilder& AsCurrency() { return SetFloatType(TFloatType::Currency); }
    // A stored test for the property published last.
    TClassBuilder& Stored(bool (T::*test)() const) {
        info_.Properties.back().StoredTest = [test](const TObject* o) {
            return (static_cast<const T*>(o)->*test)();
        };
        return *this;
    }
    TClassBuilder& Stored(bool stored) {
        info_.Properties.back().StoredTest = [stored](const TObject*) { return stored; };
        return *this;
    }
    // Names for the integer property published last (see TPropInfo::IntegerName).
    TClassBuilder& NamedBy(const char* (*name)(std::int64_t)) {
        info_.Properties.back().IntegerName = name;
        return *this;
    }

    // Publishes a method that form files may bind to events by name.
    template <class C, class... A>
    TClassBuilder& Method(const char* name, void (C::*method)(A...)) {
        info_.Methods.push_back({name, detail::MakeBinder(method, name)});
        return *this;
    }

  private:
    TClassBuilder& SetDefault(TPropDefault value) {
        info_.Properties.back().Default = std::move(value);
        return *this;
    }
    TClassBuilder& SetFloatType(TFloatType type) {
        if (info_.Properties.back().Kind != tkFloat)
            throw EInvalidCast("Property " + info_.Properties.back().Name +
                               " holds no floating-point value");
        info_.Properties.back().FloatType = type;
        return *this;
    }
    TClassInfo& info_;
};

namespace detail {

template <class T>
void FillFactory(TClassInfo& info) {
    if constexpr (!std::is_abstract_v<T> && std::is_base_of_v<TComponent, T> &&
                  std::is_constructible_v<T, TComponent*>) {
        info.CreateComponent = [](TComponent* owner) -> TComponent* { return new T(owner); };
    } else if constexpr (!std::is_abstract_v<T> && std::is_base_of_v<TCollectionItem, T> &&
                         std::is_constructible_v<T, TCollection*>) {
        info.CreateItem = [](TCollection* collection) -> TCollectionItem* {
            return new T(collection);
        };
    } else if constexpr (!std::is_abstract_v<T> && std::is_default_constructible_v<T>) {
        info.CreateObject = []() -> TObject* { return new T(); };
    }
}

}  // namespace detail

namespace detail {

// Registers a class for as long as its library is loaded: a package that is
// unloaded takes its classes out of the registry instead of leaving names that
// lead to freed type information.
class ClassRegistration {
  public:
    explicit ClassRegistration(const TClassInfo& cls) : cls_(cls) { RegisterClass(cls); }
    ~ClassRegistration() { UnRegisterClass(cls_); }
    ClassRegistration(const ClassRegistration&) = delete;
    ClassRegistration& operator=(const ClassRegistration&) = delete;

  private:
    const TClassInfo& cls_;
};

}  // namespace detail

// Defines Self::StaticClassInfo() and registers the class by name. The block
// that follows receives a TClassBuilder<Self>& named `builder`.
#define ZR_REGISTER_CLASS(Self, builder)                                               \
    static void zrPublish_##Self(::zr::TClassBuilder<Self>& builder);                  \
    const ::zr::TClassInfo& Self::StaticClassInfo() {                                  \
        static const ::zr::TClassInfo info = [] {                                      \
            ::zr::TClassInfo i;                                                        \
            i.Name = #Self;                                                            \
            i.Parent = &Self::inherited::StaticClassInfo();                            \
            ::zr::detail::FillFactory<Self>(i);                                        \
            ::zr::TClassBuilder<Self> b(i);                                            \
            zrPublish_##Self(b);                                                       \
            return i;                                                                  \
        }();                                                                           \
        return info;                                                                   \
    }                                                                                  \
    [[maybe_unused]] static const ::zr::detail::ClassRegistration zrRegistered_##Self{ \
        Self::StaticClassInfo()};                                                      \
    static void zrPublish_##Self([[maybe_unused]] ::zr::TClassBuilder<Self>& builder)

}  // namespace zr
