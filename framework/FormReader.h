// Reading a text form file into components.
//
// Each component the file makes is created with the root as its owner, gets
// csLoading for the whole read (and csReading while its own properties are
// read) and is handed its containing object through SetParentComponent. The
// properties are assigned in file order; references to other components are
// set once every object of the file exists, so a reference may name a
// component declared further down. Then Loaded is called on every component
// read, the root first.
//
// A broken file raises an exception whose message ends in "on line <n>":
// EParserError for bad syntax (before anything is made), EClassNotFound for an
// unknown class, EReadError for an unknown property, a value of the wrong
// kind or an unresolved reference; an exception raised by a property's setter
// keeps its class and gains the line. Whatever the read made by then is freed.
#pragma once

#include <string>

#include "Component.h"

namespace zr {

// Makes the root from the class named in the file's header (owned by
// `owner`, which may be null), reads the file into it and returns it. When
// the owner already has a component of the root's name, the root is named
// "<name>_1" (then _2, ...), so a form can be made twice.
TComponent* ReadComponentFromText(const std::string& text, TComponent* owner);

// Reads the file into a root that already exists: a form reading its own
// layout. The header's class must be the root's class or one of its
// ancestors. On failure the components the read made are freed and the
// root's csLoading and csReading are cleared; properties already assigned
// to the root keep their new values.
void ReadComponentInto(TComponent* root, const std::string& text);

}  // namespace zr
