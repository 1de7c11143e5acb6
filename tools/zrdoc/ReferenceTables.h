// The generated part of a component's reference page: its published
// properties (type, default) and events (parameter types), in published
// order, read from the type information so that the page cannot drift from
// the code.
#pragma once

#include <string>
#include <vector>

#include "framework/TypeInfo.h"
#include "tools/zrdoc/HeaderText.h"

namespace zr::doc {

// Markdown tables for `cls`, then one table per class of `alsoClasses` (the
// check providers a processor holds), then the value names of every
// enumeration the tables use. An event's parameters are named as `headers`
// declare them. A property without a declared default shows what a component
// just made by the designer holds, unless `startingValues` is false (a class
// whose making has effects, such as the application object).
std::string ReferenceTables(const TClassInfo& cls,
                            const std::vector<const TClassInfo*>& alsoClasses,
                            const THeaderText& headers, bool startingValues = true);

// A framework class's public members as its header declares them, each with
// the comment above it.
std::string MemberList(const std::string& className, const THeaderText& headers);

}  // namespace zr::doc
