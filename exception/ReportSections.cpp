#include "exception/ReportSections.h"

#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>

#include "framework/OSVersion.h"
#include "framework/SysUtils.h"
#include "platform/SystemInfo.h"

namespace zr::report {

namespace {

std::string WithSeparator(const std::string& text) {
    return text.empty() ? text : Separator + text;
}

std::string Trimmed(const std::string& text) {
    const auto first = text.find_first_not_of(' ');
    if (first == std::string::npos) return {};
    return text.substr(first, text.find_last_not_of(' ') - first + 1);
}

// The Windows-family name of a version; "" for versions the table lacks.
std::string WindowsName(const OSVersionInfo& v) {
    const std::string csd = Trimmed(v.csdVersion);
    if (v.platform == VER_PLATFORM_WIN32_WINDOWS) {
        if (v.minorVersion < 10)
            return csd == "B" ? "Microsoft Windows 95 OSR 2" : "Microsoft Windows 95";
        if (v.minorVersion < 90)
            return csd == "A" ? "Microsoft Windows 98 SE" : "Microsoft Windows 98";
        if (v.minorVersion == 90) return "Microsoft Winsows ME";
        return {};
    }
    if (v.majorVersion == 4) return "Microsoft Windows NT 4.0";
    if (v.majorVersion == 5 && v.minorVersion == 0) return "Microsoft Windows 2000";
    if (v.majorVersion == 5 && v.minorVersion == 1) return "Microsoft Windows XP";
    if (v.majorVersion == 5 && v.minorVersion == 2) return "Microsoft Windows 2003";
    return {};
}

// Fetches a name through a Windows-style size query, then the real call.
template <class Call>
std::string QueryName(Call call) {
    os::DWORD size = 0;
    call(nullptr, &size);
    if (size == 0) return {};
    auto buffer = std::make_unique<char[]>(size);
    buffer[0] = '\0';
    if (!call(buffer.get(), &size)) return {};
    return std::string(buffer.get());  // up to the terminating NUL
}

}  // namespace

std::string SourceSection(bool dataLoaded, const std::string& unitName,
                          const std::string& procedureName, int lineNumber) {
    if (!dataLoaded) return {};
    std::string text = "\r\n";
    if (!unitName.empty()) text += "Unit: " + unitName + "\r\n";
    if (!procedureName.empty()) text += "Procedure: " + procedureName + "\r\n";
    if (lineNumber > 0) text += "Line No: " + IntToStr(lineNumber);
    return text;
}

std::string ApplicationSection(const std::string& exeName, const std::string& title,
                               const std::vector<std::string>& parameters) {
    std::string text = std::string(Separator) + "EXE file name: " + exeName;
    text += "\r\nApplication Title:" + title;
    if (!parameters.empty()) {
        text += "\r\nParameters: ";
        for (const auto& parameter : parameters) text += "\r\n" + parameter;
    }
    return text;
}

std::string ActiveControlSection(const ActiveState& state) {
    std::string text;
    if (state.hasForm) text = "Active Form: " + state.formName + ", " + state.customFormCaption;
    if (state.hasControl) {
        if (!text.empty()) text += "\r\n";
        text += "Active Control: " + state.controlName;
    }
    return WithSeparator(text);
}

std::string ComputerSection() {
    std::string text;
    const std::string computer = QueryName(os::GetComputerNameA);
    if (!computer.empty()) text += "Computer: " + computer + "\r\n";
    const std::string user = QueryName(os::GetUserNameA);
    if (!user.empty()) text += "User Name: " + user;
    return WithSeparator(text);
}

std::string OSSection(const OSVersionInfo& v) {
    std::string text;
    if (v.platform == VER_PLATFORM_WIN32_WINDOWS) {
        text = WindowsName(v) + "(build " + IntToStr(v.buildNumber & 0xFFFF) + ")";
    } else if (v.platform == VER_PLATFORM_WIN32_NT) {
        text = WindowsName(v) + "(build " + IntToStr(v.buildNumber) + ")";
    } else if (v.platform == VER_PLATFORM_LINUX) {
        // The Windows table has no row for this system; naming the
        // distribution and kernel keeps the report useful.
        text = v.distribution + "(build " + v.kernelRelease + ")";
    }
    return WithSeparator(text);
}

OSVersionInfo RunningOSVersion() {
    return {Win32Platform,   Win32MajorVersion, Win32MinorVersion, Win32BuildNumber,
            Win32CSDVersion, LinuxDistribution, LinuxKernelRelease};
}

std::string ProcessorName(int level) {
    switch (level) {
        case 3:
            return "80386";
        case 4:
            return "80486";
        case 5:
            return "Pentium";
        case 6:
            return "Pentium Pro";
        default:
            return IntToStr(level);
    }
}

// Counts time-stamp ticks over half a second at the highest priority the
// system grants; the priorities are put back whatever was granted.
static double MeasureClockMHz() {
    const auto process = os::GetCurrentProcess();
    const auto thread = os::GetCurrentThread();
    const os::DWORD savedClass = os::GetPriorityClass(process);
    const int savedPriority = os::GetThreadPriority(thread);
    os::SetPriorityClass(process, os::REALTIME_PRIORITY_CLASS);
    os::SetThreadPriority(thread, os::THREAD_PRIORITY_TIME_CRITICAL);
    usleep(10 * 1000);
    const std::uint64_t start = os::ReadTimeStampCounter();
    usleep(500 * 1000);
    const std::uint64_t stop = os::ReadTimeStampCounter();
    os::SetThreadPriority(thread, savedPriority);
    os::SetPriorityClass(process, savedClass);
    const auto ticks = static_cast<std::uint32_t>(stop - start);
    return static_cast<double>(ticks) / 500000.0;
}

std::string CPUSection(bool measureClock) {
    os::SYSTEM_INFO info{};
    os::GetSystemInfo(&info);
    std::string text = std::string(Separator) + ProcessorName(info.wProcessorLevel);
    if (measureClock) text += std::string(Separator) + FloatToStr(MeasureClockMHz());
    return text;
}

// The sizes the 32-bit memory status would give, without its 4 GB cap:
// every machine sold today has more than that.
std::string MemorySection() {
    const os::SystemProbe::Memory m = os::CurrentSystemProbe().MemoryStatus();
    const std::uint64_t availPhys = std::min(m.availPhys, m.totalPhys);
    const std::uint64_t load = m.totalPhys ? (m.totalPhys - availPhys) * 100 / m.totalPhys : 0;
    auto kb = [](std::uint64_t bytes) { return std::to_string(bytes >> 10) + " Kb"; };
    std::string text = std::string(Separator) + "Total pagefile: " + kb(m.totalPhys + m.totalSwap);
    text += "\r\nAvailable pagefile: " + kb(availPhys + m.freeSwap);
    text += "\r\nTotal virtual memory: " + kb(m.totalVirtual);
    text += "\r\nAvailable virtual memory: " +
            kb(m.totalVirtual - std::min(m.usedVirtual, m.totalVirtual));
    text += "\r\nTotal memory: " + kb(m.totalPhys);
    text += "\r\nAvailable memory: " + kb(availPhys);
    text += "\r\nMemory in use: " + std::to_string(load) + "%";
    return text;
}

std::string VideoSection() {
    std::string text;
    os::DISPLAY_DEVICEA device{};
    for (os::DWORD index = 0;; ++index) {
        device.cb = sizeof(device);
        if (!os::EnumDisplayDevicesA(nullptr, index, &device, 0)) break;
        // Each device replaces the one before: only the last one stays.
        text.assign(device.DeviceName, strnlen(device.DeviceName, sizeof(device.DeviceName)));
    }
    return WithSeparator(text);
}

}  // namespace zr::report
