#include "framework/OSVersion.h"

#include <sys/utsname.h>

#include <cstdlib>
#include <sstream>
#include "platform/FileContent.h"

namespace zr {

int Win32Platform = VER_PLATFORM_LINUX;
int Win32MajorVersion = 0;
int Win32MinorVersion = 0;
int Win32BuildNumber = 0;
std::string Win32CSDVersion;
std::string LinuxDistribution = "Linux";
std::string LinuxKernelRelease;

// PRETTY_NAME="Debian GNU/Linux 12 (bookworm)" -> Debian GNU/Linux 12 (bookworm)
static std::string PrettyName(const std::string& osRelease) {
    std::string content;
    os::ReadFileContent(osRelease, content);
    std::istringstream in(content);
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("PRETTY_NAME=", 0) != 0) continue;
        std::string value = line.substr(12);
        if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
            value.back() == value.front())
            value = value.substr(1, value.size() - 2);
        if (!value.empty()) return value;
    }
    return "Linux";
}

void InitPlatformId(const std::string& osRelease) {
    Win32Platform = VER_PLATFORM_LINUX;
    LinuxDistribution = PrettyName(osRelease);
    utsname u{};
    if (uname(&u) != 0) return;
    LinuxKernelRelease = u.release;
    // "6.1.0-27-amd64": major, minor and patch level.
    char* rest = nullptr;
    Win32MajorVersion = static_cast<int>(std::strtol(u.release, &rest, 10));
    Win32MinorVersion = *rest == '.' ? static_cast<int>(std::strtol(rest + 1, &rest, 10)) : 0;
    Win32BuildNumber = *rest == '.' ? static_cast<int>(std::strtol(rest + 1, &rest, 10)) : 0;
    Win32CSDVersion.clear();
}

namespace {
[[maybe_unused]] const bool initialised = (InitPlatformId(), true);
}

}  // namespace zr
