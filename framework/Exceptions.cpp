#include "framework/Exceptions.h"

#include <cerrno>
#include <cstring>

#include "framework/ExceptAddr.h"

namespace zr {

__attribute__((noinline)) TRaiseSite TRaiseSite::Here() {
    return TRaiseSite{__builtin_return_address(0)};
}

Exception::Exception(std::string message, TRaiseSite site)
    : message_(std::move(message)), raiseAddress_(CaptureRaiseAddress(site.address)) {}

Exception::~Exception() = default;

void RaiseLastOSError() {
    RaiseLastOSError(errno);
}

void RaiseLastOSError(int errorCode) {
    if (errorCode == 0) throw EOSError("A call to an OS function failed", 0);
    std::string text = "System Error.  Code: " + std::to_string(errorCode) + ".\r\n";
    char buffer[256];
    // The GNU strerror_r returns the text, which may or may not live in `buffer`.
    text += strerror_r(errorCode, buffer, sizeof buffer);
    throw EOSError(std::move(text), static_cast<unsigned>(errorCode));
}

void RaiseLastWin32Error() {
    RaiseLastOSError(errno);
}

}  // namespace zr
