// Every throw of the process passes here first (this library comes before
// the C++ run-time in the search order), so the thrower's address is known
// for exceptions that carry none of their own. This file includes nothing
// that declares the run-time's own __cxa_throw, whose declared types differ
// between compilers.
#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>

#include "framework/ThrowRecord.h"

extern "C" [[noreturn]] void __cxa_throw(void* object, void* type, void (*destroy)(void*)) {
    using Throw = void (*)(void*, void*, void (*)(void*));
    static const Throw realThrow = reinterpret_cast<Throw>(dlsym(RTLD_NEXT, "__cxa_throw"));
    if (realThrow == nullptr) {
        std::fputs("zoririve: the C++ run-time's __cxa_throw is missing\n", stderr);
        std::abort();
    }
    realThrow(object, type, zr::RecordThrow(object, type, __builtin_return_address(0), destroy));
    std::abort();  // the real throw never returns
}
