// What a report says of a frame in a shared library, after its name and
// offset ("libfoo.so+0x1139"): the procedure, from the library's own symbol
// tables (the full one where it was kept, else the dynamic one), and, where
// the library has a map file beside it (its name with the extension changed
// to .map) or debug information, the unit and the line, in the layout of the
// executable's frames.
//
// A last report, written in a signal handler, reads only tables prepared
// beforehand (PrepareLibraryNames): the procedures, and unit, procedure and
// line from a map beside the library, but nothing of its debug information;
// a library loaded after the last preparation is shown by name and offset
// alone there.
#pragma once

#include "../platform/LoadedModules.h"

namespace zr {

class TFixedText;

// Appends " [unit] procedure [line N]" for the library frame `frame` held by
// `spot`, or nothing when nothing is known. `first` tells the raise address
// (looked up as it stands) from return addresses (one byte back). With
// `signalSafe` only the prepared tables are read.
void AddLibraryFrameNames(TFixedText& text, const os::TModuleSpot& spot, void* frame, bool first,
                          bool signalSafe);

// Reads the symbol tables of the libraries loaded now that are not yet
// prepared, on a thread of its own, for the last report; does nothing when
// no library was loaded or unloaded since the last preparation.
void PrepareLibraryNamesAhead();
// The same, on the calling thread (tests, and reports that are made anyway).
void PrepareLibraryNames();

}  // namespace zr
