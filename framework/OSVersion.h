// The operating-system version globals, filled from the running system when
// the run-time loads. Code that reports the system reads them; tests set them.
#pragma once

#include <string>

namespace zr {

constexpr int VER_PLATFORM_WIN32s = 0;
constexpr int VER_PLATFORM_WIN32_WINDOWS = 1;
constexpr int VER_PLATFORM_WIN32_NT = 2;
// Neither Windows family: what the run-time reports on Linux.
constexpr int VER_PLATFORM_LINUX = 100;

extern int Win32Platform;
extern int Win32MajorVersion;  // the kernel's major version here
extern int Win32MinorVersion;  // the kernel's minor version here
extern int Win32BuildNumber;   // the kernel's patch level here
extern std::string Win32CSDVersion;

// Linux only: the distribution's PRETTY_NAME from /etc/os-release ("Linux"
// when there is none) and the kernel release (uname -r).
extern std::string LinuxDistribution;
extern std::string LinuxKernelRelease;

// Reads the globals from the running system again (the run-time does it once
// at load); `osRelease` names the os-release file to read.
void InitPlatformId(const std::string& osRelease = "/etc/os-release");

}  // namespace zr
