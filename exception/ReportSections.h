// The texts of the exception report's sections. Each section but the source
// position starts with the separator; a section with nothing to say is empty.
// Line breaks stand in front of lines, so a section ends without one unless
// its last item is missing. The composition is kept apart from the gathering
// (application, screen, map file) so every text can be checked exactly.
#pragma once

#include <string>
#include <vector>

namespace zr::report {

inline constexpr const char* Separator = "\r\n======\r\n";

std::string SourceSection(bool dataLoaded, const std::string& unitName,
                          const std::string& procedureName, int lineNumber);

// `parameters` holds parameters 1..ParamCount (not the executable's path).
std::string ApplicationSection(const std::string& exeName, const std::string& title,
                               const std::vector<std::string>& parameters);

struct ActiveState {
    bool hasForm = false;
    std::string formName;
    std::string customFormCaption;
    bool hasControl = false;
    std::string controlName;
};
std::string ActiveControlSection(const ActiveState& state);

// Asks the system for the computer and user names, each by a size query first.
std::string ComputerSection();

struct OSVersionInfo {
    int platform = 0;
    int majorVersion = 0;
    int minorVersion = 0;
    int buildNumber = 0;
    std::string csdVersion;
    std::string distribution;   // Linux only
    std::string kernelRelease;  // Linux only
};
std::string OSSection(const OSVersionInfo& version);
OSVersionInfo RunningOSVersion();  // from the version globals

// The processor level's name ("80386" ... "Pentium Pro", else the number).
std::string ProcessorName(int level);
// `measureClock` also measures the clock rate (blocks about 510 ms).
std::string CPUSection(bool measureClock);

std::string MemorySection();
std::string VideoSection();

}  // namespace zr::report
