// Throws from three known functions and prints, for each, the raise address
// the exception reports and the function's own extent in the same form:
//   <name> <raise> <start> <end> <run-time start>
// (hexadecimal). The framework tests run it and compare.
#include <dlfcn.h>
#include <link.h>

#include <cstdio>
#include <stdexcept>

#include "framework/ExceptAddr.h"
#include "framework/Exceptions.h"
#include "framework/SysUtils.h"

extern "C" {

// A framework exception made right here.
__attribute__((noinline)) void ThrowFramework() {
    throw zr::EDivByZero("division by zero");
}

// A framework exception made inside the framework on this function's behalf.
// (The volatile keeps the call from becoming a jump, which would leave no
// frame of this function on the stack.)
__attribute__((noinline)) int ThrowFromConversion(const char* text) {
    volatile int value = zr::StrToInt(text);
    return value;
}

// An exception of another family, made here.
__attribute__((noinline)) void ThrowForeign() {
    throw std::runtime_error("not ours");
}
}

namespace {

void Print(const char* name, void* function, void* raise) {
    Dl_info info{};
    void* entry = nullptr;
    unsigned long size = 0;
    if (dladdr1(function, &info, &entry, RTLD_DL_SYMENT) && entry)
        size = static_cast<const ElfW(Sym)*>(entry)->st_size;
    auto start = reinterpret_cast<unsigned long>(zr::ReportedAddress(function));
    std::printf("%s %lx %lx %lx %lx\n", name, reinterpret_cast<unsigned long>(raise), start,
                start + size, reinterpret_cast<unsigned long>(function));
}

}  // namespace

int main() {
    try {
        ThrowFramework();
    } catch (const zr::Exception& e) {
        Print("ThrowFramework", reinterpret_cast<void*>(&ThrowFramework), e.RaiseAddress());
    }
    try {
        ThrowFromConversion("twelve");
    } catch (const zr::Exception& e) {
        Print("ThrowFromConversion", reinterpret_cast<void*>(&ThrowFromConversion),
              e.RaiseAddress());
    }
    try {
        ThrowForeign();
    } catch (...) {
        auto wrapped = zr::WrapException(std::current_exception());
        Print("ThrowForeign", reinterpret_cast<void*>(&ThrowForeign), wrapped->RaiseAddress());
    }
    return 0;
}
