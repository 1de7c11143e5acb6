// The package VEDevE2006: every component of the suite and its registration,
// one shared library (libVEDevE2006.so) that requires the run-time
// (libzoririve.so). Applications use it at run time without calling
// Register; the designer loads it and calls Register.
#pragma once

// The interface number of the run-time this package was built against (see
// framework/RuntimeInterface.h).
extern "C" int zr_PackageRuntimeInterface();
