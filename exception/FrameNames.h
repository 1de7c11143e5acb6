// Names of call-stack frames as a person reads them. A demangled C++ name
// spells out every default template argument and the library's inner
// namespaces: std::string comes out as
// "std::__cxx11::basic_string<char, std::char_traits<char>, std::allocator<char> >".
// Frames are shown with the standard typedefs and without the defaults, and
// the frames that only pass a call on (std::function's handler, std::invoke,
// the framework's closures) are told apart so that a run of them can be
// folded into one line. Both work without allocating: the last report uses
// them in a signal handler.
#pragma once

#include <cstddef>
#include <string_view>

namespace zr {

// Writes the short form of `name` into `out` (at most `capacity` bytes, a
// longer result cut there) and returns its length.
size_t ShortFrameName(std::string_view name, char* out, size_t capacity);

// A frame of call plumbing: by its unit (the library's std::function and
// invoke headers) or its procedure.
bool IsCallPlumbing(std::string_view unit, std::string_view procedure);

}  // namespace zr
