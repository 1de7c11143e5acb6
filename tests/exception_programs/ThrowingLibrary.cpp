// A shared library that throws a few calls deep, for the library frames of
// a call stack: built with debug information but without a map file.
#include <stdexcept>

namespace {
volatile int sink = 0;
}

[[gnu::noinline]] void LibraryThrower(int depth) {
    if (depth == 0) throw std::invalid_argument("thrown inside a library");
    LibraryThrower(depth - 1);
    sink = sink + 1;  // not a tail call
}

extern "C" [[gnu::visibility("default")]] void zr_test_ThrowInLibrary(int depth) {
    LibraryThrower(depth);
    sink = sink + 1;
}

// Calls `code` from inside the library: a fault there has a library frame
// outside it.
extern "C" [[gnu::visibility("default")]] void zr_test_CallFromLibrary(void (*code)()) {
    code();
    sink = sink + 1;
}
