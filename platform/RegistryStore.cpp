#include "platform/RegistryStore.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace zr::os::regstore {

namespace {

// The host's limit on a key name and on a whole key path.
constexpr std::size_t MaxKeyNameLength = 255;
constexpr std::size_t MaxKeyPathLength = 32767;

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

bool IsFolder(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// The key folders directly under `folder`, by their disk names.
std::vector<std::string> SubkeyFolders(const std::string& folder) {
    std::vector<std::string> names;
    DIR* dir = ::opendir(folder.c_str());
    if (!dir) return names;
    while (dirent* entry = ::readdir(dir)) {
        std::string name = entry->d_name;
        if (name == "." || name == ".." || IsStoreEntry(name)) continue;
        // A link is never followed: the store must not lead outside itself.
        if (entry->d_type == DT_DIR ||
            (entry->d_type == DT_UNKNOWN && IsFolder(folder + "/" + name)))
            names.push_back(std::move(name));
    }
    ::closedir(dir);
    return names;
}

std::string ReadWholeFile(int fd, bool& ok) {
    std::string text;
    char buffer[8192];
    for (;;) {
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            ok = false;
            return text;
        }
        if (n == 0) break;
        text.append(buffer, static_cast<std::size_t>(n));
    }
    ok = true;
    return text;
}

bool WriteAll(int fd, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// A name no other process or thread uses at the same moment.
std::string UniqueSuffix() {
    static std::atomic<unsigned> counter{0};
    return std::to_string(::getpid()) + "." + std::to_string(counter.fetch_add(1));
}

}  // namespace

LSTATUS LastFileError() {
    if (errno == ENOENT || errno == ENOTDIR) return ERROR_FILE_NOT_FOUND;
    if (errno == ENAMETOOLONG) return ERROR_BAD_PATHNAME;
    return ErrorFromErrno(errno);
}

std::string StoreFolder() {
    if (const char* store = std::getenv("ZORIRIVE_REGISTRY"); store && *store) return store;
    std::string state;
    if (const char* xdg = std::getenv("XDG_STATE_HOME"); xdg && *xdg == '/') {
        state = xdg;
    } else {
        const char* home = std::getenv("HOME");
        state = std::string(home && *home ? home : "/tmp") + "/.local/state";
    }
    return state + "/zoririve/registry";
}

std::string EncodeName(std::string_view keyName) {
    std::string out;
    for (char c : keyName) {
        if (c == '/')
            out += "%2F";
        else if (c == '%')
            out += "%25";
        else
            out += c;
    }
    return out;
}

std::string DecodeName(std::string_view diskName) {
    std::string out;
    for (std::size_t i = 0; i < diskName.size(); ++i) {
        if (diskName[i] == '%' && i + 2 < diskName.size() && HexValue(diskName[i + 1]) >= 0 &&
            HexValue(diskName[i + 2]) >= 0) {
            out += static_cast<char>(HexValue(diskName[i + 1]) * 16 + HexValue(diskName[i + 2]));
            i += 2;
        } else {
            out += diskName[i];
        }
    }
    return out;
}

LSTATUS SplitKeyPath(const char* subKey, std::vector<std::string>& parts) {
    parts.clear();
    std::string_view path = subKey ? subKey : "";
    if (path.size() > MaxKeyPathLength) return ERROR_BAD_PATHNAME;
    if (!path.empty() && path.back() == '\\') path.remove_suffix(1);  // one is tolerated
    if (path.empty()) return ERROR_SUCCESS;
    for (;;) {
        std::size_t end = path.find('\\');
        std::string_view part = path.substr(0, end);
        if (part.empty() || part == "." || part == ".." || part.size() > MaxKeyNameLength)
            return ERROR_BAD_PATHNAME;
        parts.emplace_back(part);
        if (end == std::string_view::npos) return ERROR_SUCCESS;
        path.remove_prefix(end + 1);
    }
}

std::optional<std::string> FindSubkey(const std::string& folder, std::string_view name) {
    std::string exact = EncodeName(name);
    if (IsFolder(folder + "/" + exact)) return folder + "/" + exact;
    for (const auto& disk : SubkeyFolders(folder))
        if (SameName(DecodeName(disk), name)) return folder + "/" + disk;
    return std::nullopt;
}

std::vector<std::string> SubkeyNames(const std::string& folder) {
    std::vector<std::string> names;
    for (const auto& disk : SubkeyFolders(folder)) names.push_back(DecodeName(disk));
    std::sort(names.begin(), names.end(), NameLess);
    return names;
}

std::optional<TFolderId> FolderId(const std::string& folder) {
    struct stat st {};
    if (::lstat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return std::nullopt;
    return TFolderId{st.st_dev, st.st_ino};
}

TFolderLock::TFolderLock(const std::string& folder) {
    fd_ = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW);
    if (fd_ < 0) {
        status_ = LastFileError();
        return;
    }
    while (::flock(fd_, LOCK_EX) != 0) {
        if (errno == EINTR) continue;
        status_ = LastFileError();
        return;
    }
}

TFolderLock::~TFolderLock() {
    if (fd_ >= 0) ::close(fd_);  // releases the lock
}

std::optional<TFolderId> TFolderLock::Id() const {
    struct stat st {};
    if (fd_ < 0 || status_ != ERROR_SUCCESS || ::fstat(fd_, &st) != 0) return std::nullopt;
    return TFolderId{st.st_dev, st.st_ino};
}

bool TFolderLock::StillAt(const std::string& folder) const {
    auto locked = Id();
    return locked && FolderId(folder) == locked;
}

LSTATUS ReadValues(const std::string& folder, TValueList& values) {
    values.clear();
    std::string path = folder + "/" + std::string(ValuesFileName);
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) return errno == ENOENT ? ERROR_SUCCESS : LastFileError();
    bool ok = false;
    std::string text = ReadWholeFile(fd, ok);
    ::close(fd);
    if (!ok) return ERROR_BADDB;
    auto parsed = ParseValues(text);
    if (!parsed) return ERROR_BADDB;
    values = std::move(*parsed);
    return ERROR_SUCCESS;
}

LSTATUS WriteValues(const std::string& folder, const TValueList& values) {
    std::string target = folder + "/" + std::string(ValuesFileName);
    std::string temporary = target + "." + UniqueSuffix();
    int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) return LastFileError();
    // Flushed before the rename, so that a crash leaves the old file or the
    // new one, never an empty one in its place.
    bool written = WriteAll(fd, FormatValues(values)) && ::fsync(fd) == 0;
    LSTATUS status = written ? ERROR_SUCCESS : LastFileError();
    ::close(fd);
    if (status == ERROR_SUCCESS && ::rename(temporary.c_str(), target.c_str()) != 0)
        status = LastFileError();
    if (status != ERROR_SUCCESS) ::unlink(temporary.c_str());
    return status;
}

LSTATUS MakeKeyFolder(const std::string& folder) {
    if (::mkdir(folder.c_str(), 0777) != 0 && errno != EEXIST) return LastFileError();
    return ERROR_SUCCESS;
}

LSTATUS RemoveKeyFolder(const std::string& parent, const std::string& folder) {
    std::string hidden = parent + "/%deleted." + UniqueSuffix();
    if (::rename(folder.c_str(), hidden.c_str()) != 0) return LastFileError();
    // Only the store's own files are left inside (the caller checked that no
    // subkey is): the values file and a temporary one of a crashed writer.
    if (DIR* dir = ::opendir(hidden.c_str())) {
        while (dirent* entry = ::readdir(dir))
            if (IsStoreEntry(entry->d_name)) ::unlinkat(dirfd(dir), entry->d_name, 0);
        ::closedir(dir);
    }
    ::rmdir(hidden.c_str());
    return ERROR_SUCCESS;
}

}  // namespace zr::os::regstore
