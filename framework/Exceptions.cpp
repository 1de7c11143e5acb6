#include "framework/Exceptions.h"

#include <cerrno>
#include <cstring>

#include "framework/ExceptAddr.h"
#include "platform/LastError.h"

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
    // The platform's Windows calls keep their own last error (errno may have
    // been changed by anything since), and its codes are the host's, so the
    // text is the host's too; a code the platform passed through from errno
    // keeps the system's text for it.
    const os::DWORD code = os::GetLastError();
    if (code == os::ERROR_SUCCESS) throw EOSError("A call to an OS function failed", 0);
    std::string text = os::SystemErrorText(code);
    if (text.empty()) {
        char buffer[256];
        text = strerror_r(static_cast<int>(code), buffer, sizeof buffer);
    }
    throw EOSError("System Error.  Code: " + std::to_string(code) + ".\r\n" + text, code);
}

}  // namespace zr
