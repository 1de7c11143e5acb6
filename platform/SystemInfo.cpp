#include "platform/SystemInfo.h"

#include <X11/Xlib.h>
#include <X11/extensions/Xrandr.h>
#include <pwd.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/sysinfo.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <sstream>

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#include <x86intrin.h>
#endif

#include "platform/FileContent.h"
#include "platform/ProcessUsage.h"
#include "platform/X11Errors.h"

namespace zr::os {

// ---- the default probe -----------------------------------------------------

std::string SystemProbe::ComputerName() {
    char name[256] = {};
    if (gethostname(name, sizeof(name) - 1) != 0) return {};
    return name;
}

std::string SystemProbe::UserName() {
    if (const passwd* pw = getpwuid(geteuid()); pw && pw->pw_name) return pw->pw_name;
    if (const char* user = std::getenv("USER"); user && *user) return user;
    return {};
}

SystemProbe::Memory SystemProbe::MemoryStatus() {
    Memory m;
    struct sysinfo si {};
    if (sysinfo(&si) == 0) {
        const std::uint64_t unit = si.mem_unit ? si.mem_unit : 1;
        m.totalPhys = si.totalram * unit;
        m.availPhys = (si.freeram + si.bufferram) * unit;
        m.totalSwap = si.totalswap * unit;
        m.freeSwap = si.freeswap * unit;
    }
    // MemAvailable counts the page cache the kernel can give back, which is
    // what "available" means to a user.
    std::string content;
    ReadFileContent("/proc/meminfo", content);
    std::istringstream meminfo(content);
    std::string line;
    while (std::getline(meminfo, line)) {
        if (line.rfind("MemAvailable:", 0) == 0)
            m.availPhys = std::strtoull(line.c_str() + 13, nullptr, 10) * 1024;
    }
    // The user part of the address space: 47 bits on x86-64.
    m.totalVirtual = sizeof(void*) == 8 ? (std::uint64_t{1} << 47) : (std::uint64_t{3} << 30);
    m.usedVirtual = CurrentProcessUsage().VirtualBytes;
    return m;
}

int SystemProbe::ProcessorFamily() {
#if defined(__x86_64__) || defined(__i386__)
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx)) return 0;
    const int family = (eax >> 8) & 0xF;
    const int extended = (eax >> 20) & 0xFF;
    return family == 0xF ? family + extended : family;
#else
    return 0;
#endif
}

static std::vector<std::string> RandROutputs() {
    std::vector<std::string> names;
    Display* display = XOpenDisplay(nullptr);
    if (!display) return names;
    // A display that goes away meanwhile leaves the list short, and does
    // not end the process (which may be writing an exception report).
    const std::uint64_t watch = WatchXConnection(display, [] {});
    int eventBase = 0, errorBase = 0;
    if (XRRQueryExtension(display, &eventBase, &errorBase)) {
        if (XRRScreenResources* res =
                XRRGetScreenResourcesCurrent(display, DefaultRootWindow(display))) {
            for (int i = 0; i < res->noutput; ++i) {
                if (XRROutputInfo* info = XRRGetOutputInfo(display, res, res->outputs[i])) {
                    if (info->connection == RR_Connected) names.emplace_back(info->name);
                    XRRFreeOutputInfo(info);
                }
            }
            XRRFreeScreenResources(res);
        }
    }
    XCloseDisplay(display);
    UnwatchXConnection(watch);
    return names;
}

static std::vector<std::string> DrmConnectors() {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator("/sys/class/drm", ec)) {
        const std::string name = entry.path().filename().string();
        // Connectors are named card<N>-<type>-<index>; plain card<N> is the adapter.
        if (name.rfind("card", 0) == 0 && name.find('-') != std::string::npos)
            names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::vector<std::string> SystemProbe::DisplayDevices() {
    const char* display = std::getenv("DISPLAY");
    if (display && *display) {
        auto outputs = RandROutputs();
        if (!outputs.empty()) return outputs;
    }
    return DrmConnectors();
}

// ---- the probe in force ------------------------------------------------------

namespace {
std::mutex probeMutex;
std::shared_ptr<SystemProbe>& ProbeSlot() {
    static std::shared_ptr<SystemProbe> probe = std::make_shared<SystemProbe>();
    return probe;
}
}  // namespace

std::shared_ptr<SystemProbe> SetSystemProbe(std::shared_ptr<SystemProbe> probe) {
    std::lock_guard lock(probeMutex);
    auto old = ProbeSlot();
    ProbeSlot() = probe ? std::move(probe) : std::make_shared<SystemProbe>();
    return old;
}

SystemProbe& CurrentSystemProbe() {
    std::lock_guard lock(probeMutex);
    return *ProbeSlot();
}

// ---- names -------------------------------------------------------------------

static BOOL CopyName(const std::string& name, char* buffer, DWORD* size, bool countNul) {
    if (!size) return 0;
    if (name.empty()) {
        *size = 0;
        return 0;
    }
    const DWORD needed = static_cast<DWORD>(name.size() + 1);
    if (!buffer || *size < needed) {
        *size = needed;
        return 0;
    }
    std::memcpy(buffer, name.c_str(), needed);
    *size = countNul ? needed : needed - 1;
    return 1;
}

BOOL GetComputerNameA(char* buffer, DWORD* size) {
    return CopyName(CurrentSystemProbe().ComputerName(), buffer, size, false);
}

BOOL GetUserNameA(char* buffer, DWORD* size) {
    return CopyName(CurrentSystemProbe().UserName(), buffer, size, true);
}

// ---- memory --------------------------------------------------------------------

static DWORD Saturate(std::uint64_t value) {
    return value > 0xFFFFFFFFull ? 0xFFFFFFFFu : static_cast<DWORD>(value);
}

void GlobalMemoryStatus(MEMORYSTATUS* status) {
    if (!status) return;
    const auto m = CurrentSystemProbe().MemoryStatus();
    const std::uint64_t availPhys = std::min(m.availPhys, m.totalPhys);
    status->dwMemoryLoad =
        m.totalPhys ? static_cast<DWORD>((m.totalPhys - availPhys) * 100 / m.totalPhys) : 0;
    status->dwTotalPhys = Saturate(m.totalPhys);
    status->dwAvailPhys = Saturate(availPhys);
    status->dwTotalPageFile = Saturate(m.totalPhys + m.totalSwap);
    status->dwAvailPageFile = Saturate(availPhys + m.freeSwap);
    status->dwTotalVirtual = Saturate(m.totalVirtual);
    status->dwAvailVirtual = Saturate(m.totalVirtual - std::min(m.usedVirtual, m.totalVirtual));
}

// ---- processor -------------------------------------------------------------------

void GetSystemInfo(SYSTEM_INFO* info) {
    if (!info) return;
    *info = SYSTEM_INFO{};
    const long pageSize = sysconf(_SC_PAGESIZE);
    const long processors = sysconf(_SC_NPROCESSORS_ONLN);
    info->wProcessorArchitecture = sizeof(void*) == 8 ? 9 : 0;  // AMD64 or x86
    info->dwPageSize = pageSize > 0 ? static_cast<DWORD>(pageSize) : 4096;
    info->dwAllocationGranularity = 65536;
    info->dwNumberOfProcessors = processors > 0 ? static_cast<DWORD>(processors) : 1;
    info->dwActiveProcessorMask = info->dwNumberOfProcessors >= sizeof(std::uintptr_t) * 8
                                      ? ~std::uintptr_t{0}
                                      : (std::uintptr_t{1} << info->dwNumberOfProcessors) - 1;
    info->wProcessorLevel = static_cast<WORD>(CurrentSystemProbe().ProcessorFamily());
}

std::uint64_t ReadTimeStampCounter() {
#if defined(__x86_64__) || defined(__i386__)
    return __rdtsc();
#else
    return static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
#endif
}

// ---- priorities ----------------------------------------------------------------------
// Classes map onto the nice value of the process, thread priorities onto the
// nice value of the calling thread; both map back without loss for the
// values they produce, so saving and restoring leaves things as they were.

PSEUDO_HANDLE GetCurrentProcess() {
    return -1;
}
PSEUDO_HANDLE GetCurrentThread() {
    return -2;
}

static int NiceForClass(DWORD priorityClass) {
    switch (priorityClass) {
        case IDLE_PRIORITY_CLASS:
            return 19;
        case HIGH_PRIORITY_CLASS:
            return -10;
        case REALTIME_PRIORITY_CLASS:
            return -20;
        default:
            return 0;
    }
}

DWORD GetPriorityClass(PSEUDO_HANDLE) {
    errno = 0;
    const int nice = getpriority(PRIO_PROCESS, static_cast<id_t>(getpid()));
    if (nice <= -20) return REALTIME_PRIORITY_CLASS;
    if (nice < 0) return HIGH_PRIORITY_CLASS;
    if (nice >= 19) return IDLE_PRIORITY_CLASS;
    return NORMAL_PRIORITY_CLASS;
}

BOOL SetPriorityClass(PSEUDO_HANDLE, DWORD priorityClass) {
    return setpriority(PRIO_PROCESS, static_cast<id_t>(getpid()), NiceForClass(priorityClass)) == 0;
}

int GetThreadPriority(PSEUDO_HANDLE) {
    const auto tid = static_cast<id_t>(syscall(SYS_gettid));
    const int nice = getpriority(PRIO_PROCESS, tid);
    // 15 (time critical) is nice -20; other priorities step by two nice levels.
    if (nice <= -20) return THREAD_PRIORITY_TIME_CRITICAL;
    return std::clamp(-nice / 2, -15, 2);
}

BOOL SetThreadPriority(PSEUDO_HANDLE, int priority) {
    const auto tid = static_cast<id_t>(syscall(SYS_gettid));
    const int nice =
        priority >= THREAD_PRIORITY_TIME_CRITICAL ? -20 : std::clamp(-2 * priority, -19, 19);
    return setpriority(PRIO_PROCESS, tid, nice) == 0;
}

// ---- display devices ----------------------------------------------------------------

BOOL EnumDisplayDevicesA(const char* device, DWORD index, DISPLAY_DEVICEA* dd, DWORD) {
    if (device || !dd || dd->cb < sizeof(DISPLAY_DEVICEA)) return 0;
    const auto devices = CurrentSystemProbe().DisplayDevices();
    if (index >= devices.size()) return 0;
    const DWORD cb = dd->cb;
    std::memset(dd, 0, sizeof(DISPLAY_DEVICEA));
    dd->cb = cb;
    std::strncpy(dd->DeviceName, devices[index].c_str(), sizeof(dd->DeviceName) - 1);
    std::strncpy(dd->DeviceString, devices[index].c_str(), sizeof(dd->DeviceString) - 1);
    dd->StateFlags = DISPLAY_DEVICE_ATTACHED_TO_DESKTOP;
    return 1;
}

}  // namespace zr::os
