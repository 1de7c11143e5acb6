// Variants: one value of a few kinds (Null, integer, float, string, Boolean,
// date-time) as data sets hand field values around. Comparison follows the
// host: two Nulls are equal, a Null is unequal to any other value, numbers
// compare by value whatever their kind, and a string meets a number as the
// number it spells.
#pragma once

#include <cstdint>
#include <string>
#include <variant>

#include "DateUtils.h"

namespace zr {

enum TVarType { varNull, varInteger, varDouble, varString, varBoolean, varDate };

class Variant {
  public:
    Variant() = default;  // Null
    Variant(int value) : value_(std::int64_t{value}) {}
    Variant(std::int64_t value) : value_(value) {}
    Variant(double value) : value_(value) {}
    Variant(bool value) : value_(value) {}
    Variant(std::string value) : value_(std::move(value)) {}
    Variant(const char* value) : value_(std::string(value)) {}
    static Variant FromDateTime(TDateTime value);

    TVarType VarType() const;
    bool IsNull() const { return VarType() == varNull; }

    // Conversions; a value that has no such reading (a Null, a string that
    // spells no number) raises EVariantError "Could not convert variant of
    // type (<from>) into type (<to>)".
    std::int64_t AsInteger() const;
    double AsFloat() const;
    bool AsBoolean() const;
    TDateTime AsDateTime() const;
    // The value's text; a Null gives the empty text.
    std::string AsString() const;

    friend bool operator==(const Variant& a, const Variant& b);

  private:
    struct Date {
        TDateTime days;
        bool operator==(const Date&) const = default;
    };
    std::variant<std::monostate, std::int64_t, double, std::string, bool, Date> value_;
};

inline Variant Null() {
    return Variant();
}
inline bool VarIsNull(const Variant& v) {
    return v.IsNull();
}
// The text of a value: integers and floats as IntToStr and FloatToStr write
// them, Booleans as "True" / "False", date-times as DateTimeToStr, Null as "".
inline std::string VarToStr(const Variant& v) {
    return v.AsString();
}
// The host's name of a variant type ("Null", "Int64", "Double", "String",
// "Boolean", "Date").
std::string VarTypeName(TVarType type);

}  // namespace zr
