// Names for the values of integer properties (colours, character sets), so a
// form file can say `Font.Color = clWindowText` instead of a bare number. The
// reader accepts a registered name wherever the property takes an integer;
// the writer writes the name for a value that has one.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "TypeInfo.h"

namespace zr {

using TIntegerConsts = std::vector<std::pair<std::string, std::int64_t>>;

// Gives the integer property `prop` (of its class and every descendant) these
// names; a later registration for the same property replaces the earlier one.
void RegisterIntegerConsts(const TPropInfo& prop, TIntegerConsts names);
// The same, finding the property by name (a programming error when the class
// has none: EInvalidOperation "Property <name> does not exist in <class>").
void RegisterIntegerConsts(const TClassInfo& cls, std::string_view property, TIntegerConsts names);

// The value registered for `name` (letter case ignored), if any.
std::optional<std::int64_t> IdentToInteger(const TPropInfo& prop, std::string_view name);
// The first name registered for `value`, if any.
std::optional<std::string> IntegerToIdent(const TPropInfo& prop, std::int64_t value);

}  // namespace zr
