#include "package/VEDevE2006.h"

#include "framework/RuntimeInterface.h"

extern "C" int zr_PackageRuntimeInterface() {
    return zr::kRuntimeInterface;
}
