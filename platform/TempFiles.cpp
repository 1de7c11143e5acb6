#include "platform/TempFiles.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/SystemInfo.h"

namespace zr::os {

namespace {

constexpr DWORD ERROR_FILE_EXISTS = 80;

bool IsFolder(const char* path) {
    struct stat info {};
    return ::stat(path, &info) == 0 && S_ISDIR(info.st_mode);
}

std::string TempFolder() {
    const char* tmpdir = std::getenv("TMPDIR");
    std::string folder = tmpdir && *tmpdir && IsFolder(tmpdir) ? tmpdir : "/tmp";
    if (folder.back() != '/') folder += '/';
    return folder;
}

std::string NameFor(const std::string& folder, const std::string& prefix, UINT number) {
    char hex[8];
    std::snprintf(hex, sizeof hex, "%X", number);
    return folder + prefix + hex + ".tmp";
}

// A different starting number for each call and process, so that callers
// seldom walk over names that others already took.
UINT StartingNumber() {
    const auto ticks = std::chrono::steady_clock::now().time_since_epoch().count();
    const auto mixed =
        static_cast<std::uint64_t>(ticks) ^ (static_cast<std::uint64_t>(::getpid()) << 16);
    return static_cast<UINT>((mixed ^ (mixed >> 16) ^ (mixed >> 32)) & 0xFFFF);
}

bool CopyOut(const std::string& name, char* out) {
    if (name.size() >= MAX_PATH) {
        SetLastError(ERROR_BUFFER_OVERFLOW);
        return false;
    }
    std::memcpy(out, name.c_str(), name.size() + 1);
    return true;
}

}  // namespace

DWORD GetTempPathA(DWORD bufferLength, char* buffer) {
    const std::string folder = TempFolder();
    const auto needed = static_cast<DWORD>(folder.size() + 1);
    if (buffer == nullptr || bufferLength < needed) return needed;
    std::memcpy(buffer, folder.c_str(), needed);
    return needed - 1;
}

UINT GetTempFileNameA(const char* pathName, const char* prefix, UINT unique, char* tempFileName) {
    if (pathName == nullptr || tempFileName == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    std::string folder = pathName;
    if (folder.empty()) folder = ".";
    if (folder.back() != '/') folder += '/';
    const std::string pre = prefix ? std::string(prefix).substr(0, 3) : std::string();
    if (unique != 0) {
        unique &= 0xFFFF;
        return CopyOut(NameFor(folder, pre, unique), tempFileName) ? unique : 0;
    }
    const UINT start = StartingNumber();
    for (UINT step = 0; step < 0xFFFF; ++step) {
        const UINT number = (start + step) % 0xFFFF + 1;  // 1..0xFFFF: 0 means failure
        const std::string name = NameFor(folder, pre, number);
        if (name.size() >= MAX_PATH) {
            SetLastError(ERROR_BUFFER_OVERFLOW);
            return 0;
        }
        const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd == -1) {
            if (errno == EEXIST) continue;
            SetLastError(ErrorFromErrno(errno));
            return 0;
        }
        ::close(fd);
        CopyOut(name, tempFileName);
        return number;
    }
    SetLastError(ERROR_FILE_EXISTS);
    return 0;
}

std::string CreatePrivateFolder(const std::string& parent, const std::string& prefix) {
    std::string folder = parent.empty() ? std::string(".") : parent;
    if (folder.back() != '/') folder += '/';
    std::string name = folder + prefix + "XXXXXX";
    if (::mkdtemp(name.data()) == nullptr) {  // mode 0700, a name nobody had
        SetLastError(ErrorFromErrno(errno));
        return {};
    }
    return name + "/";
}

bool RemovePrivateFolder(const std::string& folder) {
    if (::rmdir(folder.c_str()) == 0) return true;
    SetLastError(ErrorFromErrno(errno));
    return false;
}

}  // namespace zr::os
