// Which kind of floating-point value a number stands for. Form files mark
// all but plain doubles with a letter after the digits (`36526d` a date-time,
// `25000c` a currency value, `1.5s` a single), so a value read and written
// again keeps its meaning.
#pragma once

namespace zr {

enum class TFloatType { Double, Single, Currency, DateTime };

}  // namespace zr
