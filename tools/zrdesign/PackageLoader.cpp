#include "tools/zrdesign/PackageLoader.h"

#include <dlfcn.h>

#include "framework/Classes.h"
#include "framework/Exceptions.h"
#include "framework/RuntimeInterface.h"
#include "framework/SysUtils.h"

namespace zr::design {

std::string DefaultPackagePath() {
    const std::string runtime =
        ModuleFileName(ModuleOfAddress(reinterpret_cast<const void*>(&zr_RuntimeInterface)));
    // By its SONAME: the development link libVEDevE2006.so is not there where
    // only the run-time libraries are installed.
    return ExtractFilePath(runtime) + ZR_PACKAGE_SONAME;
}

TPackage LoadPackage(const std::string& path) {
    TPackage package;
    package.Path = path;
    package.Handle = dlopen(path.c_str(), RTLD_NOW | RTLD_GLOBAL);
    if (package.Handle == nullptr)
        throw EPackageError(path + ": cannot be loaded: " + std::string(dlerror()));
    auto* registerProc = reinterpret_cast<void (*)()>(dlsym(package.Handle, "Register"));
    if (registerProc == nullptr)
        throw EPackageError(path + ": is not a component package: it exports no Register");
    auto* builtFor =
        reinterpret_cast<int (*)()>(dlsym(package.Handle, "zr_PackageRuntimeInterface"));
    if (builtFor == nullptr)
        throw EPackageError(path +
                            ": does not say which run-time it was built against "
                            "(no zr_PackageRuntimeInterface)");
    if (builtFor() != kRuntimeInterface)
        throw EPackageError(path + ": was built against run-time interface " +
                            std::to_string(builtFor()) + ", this run-time has " +
                            std::to_string(kRuntimeInterface));
    package.Instance = ModuleOfAddress(reinterpret_cast<const void*>(registerProc));
    registerProc();
    return package;
}

}  // namespace zr::design
