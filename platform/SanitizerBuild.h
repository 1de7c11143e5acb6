// Whether this code is built under AddressSanitizer or ThreadSanitizer, whose
// run-times own the fault signals and slow every memory access. GCC says so
// with its own macros, clang through __has_feature.
#pragma once

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define ZR_SANITIZER_BUILD 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define ZR_SANITIZER_BUILD 1
#endif
#endif
#ifndef ZR_SANITIZER_BUILD
#define ZR_SANITIZER_BUILD 0
#endif
