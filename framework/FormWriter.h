// Writing components as text form files, the format FormReader.h reads.
//
// The root comes first (`object Name: TClass`), then each of its stored
// properties in published order, then the components its GetChildren names,
// nested the same way, two spaces of indentation per level. A property is
// stored when IsStoredProp says so (it differs from its declared default, or
// has none); sub-objects are written as `Sub.Prop = value` lines, collections
// as `< item ... end >` (each item as one of the collection's item class,
// the class a reader makes), lists of lines as `X.Strings = ( ... )`, bytes as
// `{ hex }`, events by the name of their method and references to other
// components by name. Reading the text back and writing again gives the same
// text.
#pragma once

#include <string>

#include "Component.h"

namespace zr {

// EWriteError when a value cannot be written so that it reads back (an
// enumeration value that has no name, or nesting deeper than a reader takes).
std::string WriteComponentToText(const TComponent* root);

}  // namespace zr
