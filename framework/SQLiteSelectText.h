// What a SELECT text says about its rows, as far as a data set needs to find
// them again: whether each row it returns is one row of the one table it
// reads, and where its result columns end (so that a hidden column can be
// appended there without moving the user's columns or ORDER BY numbers).
#pragma once

#include <cstddef>
#include <string_view>

namespace zr {

struct TSelectShape {
    // No DISTINCT, grouping, compound, join, VALUES, CTE, subquery or table
    // function in the FROM clause: one table row per result row.
    bool rowPerTableRow = false;
    // Where the FROM keyword of the first statement starts.
    std::size_t columnsEnd = 0;
};

// Only the first statement of `sql` is looked at, as SQLite prepares it.
TSelectShape ShapeOfSelect(std::string_view sql);

}  // namespace zr
