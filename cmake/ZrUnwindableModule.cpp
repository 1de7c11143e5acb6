// Compiled into every module built with -fnon-call-exceptions (the CMake
// helper zr_unwindable adds it): tells the run-time, when the module loads,
// that a processor fault inside its code may be thrown as an exception.
#include "platform/FaultSignals.h"

namespace {

void ModuleMarker() {}

const bool registered = [] {
    zr::os::RegisterUnwindableModule(reinterpret_cast<const void*>(&ModuleMarker));
    return true;
}();

}  // namespace
