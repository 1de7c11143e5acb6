#include "framework/Variants.h"

#include "framework/Exceptions.h"
#include "framework/SysUtils.h"

namespace zr {

namespace {

[[noreturn]] void CannotConvert(TVarType from, TVarType to) {
    throw EVariantError("Could not convert variant of type (" + VarTypeName(from) +
                        ") into type (" + VarTypeName(to) + ")");
}

}  // namespace

std::string VarTypeName(TVarType type) {
    switch (type) {
        case varNull:
            return "Null";
        case varInteger:
            return "Int64";
        case varDouble:
            return "Double";
        case varString:
            return "String";
        case varBoolean:
            return "Boolean";
        case varDate:
            return "Date";
    }
    return "Unknown";
}

Variant Variant::FromDateTime(TDateTime value) {
    Variant v;
    v.value_ = Date{value};
    return v;
}

TVarType Variant::VarType() const {
    // The alternatives are declared in TVarType's order.
    return static_cast<TVarType>(value_.index());
}

std::int64_t Variant::AsInteger() const {
    switch (VarType()) {
        case varInteger:
            return std::get<std::int64_t>(value_);
        case varBoolean:
            return std::get<bool>(value_) ? -1 : 0;  // the host's True
        case varDouble:
        case varDate:
            return static_cast<std::int64_t>(AsFloat());
        case varString: {
            std::int64_t n = 0;
            if (TryStrToInt64(std::get<std::string>(value_), n)) return n;
            break;
        }
        case varNull:
            break;
    }
    CannotConvert(VarType(), varInteger);
}

double Variant::AsFloat() const {
    switch (VarType()) {
        case varDouble:
            return std::get<double>(value_);
        case varDate:
            return std::get<Date>(value_).days;
        case varInteger:
        case varBoolean:
            return static_cast<double>(AsInteger());
        case varString: {
            double d = 0;
            if (TryStrToFloat(std::get<std::string>(value_), d)) return d;
            break;
        }
        case varNull:
            break;
    }
    CannotConvert(VarType(), varDouble);
}

bool Variant::AsBoolean() const {
    switch (VarType()) {
        case varBoolean:
            return std::get<bool>(value_);
        case varString: {
            const std::string& s = std::get<std::string>(value_);
            if (SameText(s, "True")) return true;
            if (SameText(s, "False")) return false;
            double d = 0;
            if (TryStrToFloat(s, d)) return d != 0;
            break;
        }
        case varNull:
            break;
        default:
            return AsFloat() != 0;
    }
    CannotConvert(VarType(), varBoolean);
}

TDateTime Variant::AsDateTime() const {
    if (VarType() == varBoolean || VarType() == varNull) CannotConvert(VarType(), varDate);
    try {
        return AsFloat();
    } catch (const EVariantError&) {
        CannotConvert(VarType(), varDate);
    }
}

std::string Variant::AsString() const {
    switch (VarType()) {
        case varNull:
            return {};
        case varInteger:
            return IntToStr(std::get<std::int64_t>(value_));
        case varDouble:
            return FloatToStr(std::get<double>(value_));
        case varString:
            return std::get<std::string>(value_);
        case varBoolean:
            return std::get<bool>(value_) ? "True" : "False";
        case varDate:
            return DateTimeToStr(std::get<Date>(value_).days);
    }
    return {};
}

bool operator==(const Variant& a, const Variant& b) {
    const TVarType ta = a.VarType(), tb = b.VarType();
    if (ta == varNull || tb == varNull) return ta == tb;
    if (ta == tb) return a.value_ == b.value_;
    // Mixed kinds meet as numbers; a string that spells none raises.
    if (ta == varInteger && tb == varBoolean) return a.AsInteger() == b.AsInteger();
    if (ta == varBoolean && tb == varInteger) return a.AsInteger() == b.AsInteger();
    return a.AsFloat() == b.AsFloat();
}

}  // namespace zr
