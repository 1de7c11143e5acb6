// The generated part of a component's reference page: its published
// properties (type, default) and events (parameter types), in published
// order, read from the type information so that the page cannot drift from
// the code.
#pragma once

#include <string>
#include <vector>

#include "framework/TypeInfo.h"

namespace zr::doc {

// Markdown tables for `cls`, then one table per class of `alsoClasses` (the
// check providers a processor holds), then the value names of every
// enumeration the tables use.
std::string ReferenceTables(const TClassInfo& cls,
                            const std::vector<const TClassInfo*>& alsoClasses);

}  // namespace zr::doc
