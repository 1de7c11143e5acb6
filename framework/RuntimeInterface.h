// The run-time's interface number. A package records the number of the
// run-time it was built against; a designer that loads a package refuses one
// whose number differs from the run-time it runs on, instead of calling into
// code built for another layout of the framework's classes.
#pragma once

namespace zr {

inline constexpr int kRuntimeInterface = 1;

}  // namespace zr

// The run-time's own number (exported with C linkage, for dlsym).
extern "C" int zr_RuntimeInterface();
