// Raises a framework exception at a known line of a known function and prints
// where, so that the tests can check what the map file beside this program
// says about that place.
#include <cstdio>
#include <string>

#include "framework/ExceptAddr.h"
#include "framework/Exceptions.h"

namespace maptest {

int raiseLine = 0;
void* callSite = nullptr;

// The address just after the call to here, in map form: a second witness of
// the raising line that does not depend on how exceptions take their address.
[[gnu::noinline]] void* CallSite() {
    return zr::ReportedAddress(__builtin_return_address(0));
}

std::string Describe(int code, int line, void* site) {
    raiseLine = line;
    callSite = site;
    return "raised on purpose with code " + std::to_string(code);
}

[[gnu::noinline]] void RaiseAtKnownLine(int code) {
    throw zr::Exception(Describe(code, __LINE__, CallSite()));
}

}  // namespace maptest

int main() {
    try {
        maptest::RaiseAtKnownLine(7);
    } catch (const zr::Exception& e) {
        std::printf("raise %p\ncallsite %p\nline %d\n", e.RaiseAddress(), maptest::callSite,
                    maptest::raiseLine);
        return 0;
    }
    return 1;
}
