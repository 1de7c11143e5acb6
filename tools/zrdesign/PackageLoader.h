// Loads a component package the way a designer does: the shared library,
// a check that it was built against this run-time, and its Register call.
#pragma once

#include <string>

#include "framework/Resources.h"

namespace zr::design {

struct TPackage {
    std::string Path;
    void* Handle = nullptr;        // from dlopen; stays loaded for the process
    HINSTANCE Instance = nullptr;  // the module that holds its resources
};

// The suite's own package beside the run-time this program runs on.
std::string DefaultPackagePath();

// Raises EPackageError naming the file and what is wrong: it cannot be
// loaded, it has no Register, or it was built against another run-time.
TPackage LoadPackage(const std::string& path);

}  // namespace zr::design
