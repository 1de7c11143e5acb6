// What this process uses right now: its memory (virtual and resident) and
// the processor time it has had. One place for these facts, read from the
// kernel with async-signal-safe calls only (no allocation), so the fault
// path may ask as well as a component that samples them periodically.
#pragma once

#include <cstdint>

namespace zr::os {

struct ProcessUsage {
    std::uint64_t VirtualBytes = 0;     // VmSize
    std::uint64_t ResidentBytes = 0;    // VmRSS
    std::uint64_t CpuMilliseconds = 0;  // user and system time together
};

// Zeroes where the kernel does not say (no /proc mounted, say).
ProcessUsage CurrentProcessUsage();

}  // namespace zr::os
