#include "platform/ProcessUsage.h"

#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace zr::os {

namespace {

// The number of kB after `key` in /proc/self/status's text, in bytes.
std::uint64_t StatusBytes(const char* text, const char* key) {
    const char* at = std::strstr(text, key);
    if (at == nullptr) return 0;
    at += std::strlen(key);
    while (*at == ' ' || *at == '\t') ++at;
    std::uint64_t kb = 0;
    for (; *at >= '0' && *at <= '9'; ++at) kb = kb * 10 + static_cast<std::uint64_t>(*at - '0');
    return kb * 1024;
}

}  // namespace

ProcessUsage CurrentProcessUsage() {
    ProcessUsage usage;
    // The status text is some 1.5 kB; the memory lines come in its first half.
    char text[4096];
    const int fd = ::open("/proc/self/status", O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        size_t length = 0;
        while (length < sizeof text - 1) {
            const ssize_t n = ::read(fd, text + length, sizeof text - 1 - length);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            length += static_cast<size_t>(n);
        }
        ::close(fd);
        text[length] = '\0';
        usage.VirtualBytes = StatusBytes(text, "\nVmSize:");
        usage.ResidentBytes = StatusBytes(text, "\nVmRSS:");
    }
    timespec cpu{};
    if (::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &cpu) == 0)
        usage.CpuMilliseconds = static_cast<std::uint64_t>(cpu.tv_sec) * 1000 +
                                static_cast<std::uint64_t>(cpu.tv_nsec) / 1000000;
    return usage;
}

}  // namespace zr::os
