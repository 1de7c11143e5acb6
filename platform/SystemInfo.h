// The system-information calls the exception report names (computer and user
// name, memory status, processor, priorities, time-stamp counter, display
// devices), with their Windows shapes, realised on Linux. Everything they read
// from the outside world comes through one replaceable probe, so tests can
// stage a machine without a name, a 64 GiB machine or three displays.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "LastError.h"

namespace zr::os {

using DWORD = std::uint32_t;
using WORD = std::uint16_t;
using BOOL = int;

// What the probe reads from the machine. The default reads the running system.
class SystemProbe {
  public:
    virtual ~SystemProbe() = default;
    virtual std::string ComputerName();  // "" when it cannot be had
    virtual std::string UserName();      // "" when it cannot be had
    struct Memory {
        std::uint64_t totalPhys = 0, availPhys = 0;
        std::uint64_t totalSwap = 0, freeSwap = 0;
        std::uint64_t totalVirtual = 0, usedVirtual = 0;
    };
    virtual Memory MemoryStatus();
    virtual int ProcessorFamily();  // CPUID display family, 0 when unknown
    // Display outputs: X RandR outputs when a display is open, otherwise the
    // connectors under /sys/class/drm.
    virtual std::vector<std::string> DisplayDevices();
};

// Replaces the probe (tests); null restores the default. Returns the old one.
std::shared_ptr<SystemProbe> SetSystemProbe(std::shared_ptr<SystemProbe> probe);
SystemProbe& CurrentSystemProbe();

// Both follow the Windows contract: with a buffer too small (or none) they
// fail, setting *size to the length needed including the terminating NUL.
// GetComputerNameA reports success with the length without the NUL,
// GetUserNameA with it. A name that cannot be had reports a needed size of 0.
BOOL GetComputerNameA(char* buffer, DWORD* size);
BOOL GetUserNameA(char* buffer, DWORD* size);

struct MEMORYSTATUS {
    DWORD dwLength;
    DWORD dwMemoryLoad;
    DWORD dwTotalPhys;
    DWORD dwAvailPhys;
    DWORD dwTotalPageFile;
    DWORD dwAvailPageFile;
    DWORD dwTotalVirtual;
    DWORD dwAvailVirtual;
};
// Byte counts are 32-bit: a value above 0xFFFFFFFF saturates, as the 32-bit
// call does on large machines. The page file is physical memory plus swap.
void GlobalMemoryStatus(MEMORYSTATUS* status);

struct SYSTEM_INFO {
    WORD wProcessorArchitecture;
    WORD wReserved;
    DWORD dwPageSize;
    void* lpMinimumApplicationAddress;
    void* lpMaximumApplicationAddress;
    std::uintptr_t dwActiveProcessorMask;
    DWORD dwNumberOfProcessors;
    DWORD dwProcessorType;
    DWORD dwAllocationGranularity;
    WORD wProcessorLevel;
    WORD wProcessorRevision;
};
void GetSystemInfo(SYSTEM_INFO* info);

// Priorities. The process handle stands for this process, the thread handle
// for the calling thread. Raising priorities needs privileges that a normal
// user lacks: the setters then fail and the caller carries on, as it must.
using PSEUDO_HANDLE = std::intptr_t;
constexpr DWORD NORMAL_PRIORITY_CLASS = 0x20;
constexpr DWORD IDLE_PRIORITY_CLASS = 0x40;
constexpr DWORD HIGH_PRIORITY_CLASS = 0x80;
constexpr DWORD REALTIME_PRIORITY_CLASS = 0x100;
constexpr int THREAD_PRIORITY_NORMAL = 0;
constexpr int THREAD_PRIORITY_TIME_CRITICAL = 15;
PSEUDO_HANDLE GetCurrentProcess();
PSEUDO_HANDLE GetCurrentThread();
DWORD GetPriorityClass(PSEUDO_HANDLE process);
BOOL SetPriorityClass(PSEUDO_HANDLE process, DWORD priorityClass);
int GetThreadPriority(PSEUDO_HANDLE thread);
BOOL SetThreadPriority(PSEUDO_HANDLE thread, int priority);

// The processor's time-stamp counter (a monotonic nanosecond clock where the
// processor has none).
std::uint64_t ReadTimeStampCounter();

struct DISPLAY_DEVICEA {
    DWORD cb;
    char DeviceName[32];
    char DeviceString[128];
    DWORD StateFlags;
};
constexpr DWORD DISPLAY_DEVICE_ATTACHED_TO_DESKTOP = 0x1;
// False when there is no device at `index`, or `device` is not null.
BOOL EnumDisplayDevicesA(const char* device, DWORD index, DISPLAY_DEVICEA* dd, DWORD flags);

}  // namespace zr::os
