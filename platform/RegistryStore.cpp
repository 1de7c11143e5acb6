#include "platform/RegistryStore.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>

namespace zr::os::regstore {

using privstore::LastStoreError;

namespace {

// The host's limit on a key name and on a whole key path.
constexpr std::size_t MaxKeyNameLength = 255;
constexpr std::size_t MaxKeyPathLength = 32767;

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

// Calls `visit(name, isFolder)` for each entry of `folder` but "." and "..".
template <class Visit>
void ForEachEntry(int folder, Visit visit) {
    int fd = ::openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    DIR* dir = ::fdopendir(fd);
    if (!dir) {
        ::close(fd);
        return;
    }
    while (dirent* entry = ::readdir(dir)) {
        std::string_view name = entry->d_name;
        if (name == "." || name == "..") continue;
        bool isFolder = entry->d_type == DT_DIR;
        if (entry->d_type == DT_UNKNOWN) {
            // A link is never taken for the folder it leads to.
            struct stat st {};
            isFolder = ::fstatat(folder, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
                       S_ISDIR(st.st_mode);
        }
        if (!visit(name, isFolder)) break;
    }
    ::closedir(dir);
}

}  // namespace

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

bool IsKeyFolderName(std::string_view diskName) {
    if (diskName.empty() || diskName == "." || diskName == "..") return false;
    for (std::size_t at = diskName.find('%'); at != std::string_view::npos;
         at = diskName.find('%', at + 1)) {
        std::string_view escape = diskName.substr(at, 3);
        if (escape != "%25" && escape != "%2F") return false;
    }
    return true;
}

std::string DecodeName(std::string_view diskName) {
    std::string out;
    for (std::size_t i = 0; i < diskName.size(); ++i) {
        if (diskName[i] == '%' && i + 2 < diskName.size()) {
            out += diskName.substr(i, 3) == "%2F" ? '/' : '%';
            i += 2;
        } else {
            out += diskName[i];
        }
    }
    return out;
}

std::string StoreFolder() {
    privstore::TStoreLocation where;
    if (privstore::LocateStore("ZORIRIVE_REGISTRY", "registry", where) != ERROR_SUCCESS) return "";
    return where.Path();
}

LSTATUS OpenRootFolder(const char* rootName, TFd& folder, std::string& path) {
    privstore::TStoreLocation where;
    if (LSTATUS status = privstore::LocateStore("ZORIRIVE_REGISTRY", "registry", where);
        status != ERROR_SUCCESS)
        return status;
    TFd store;
    if (LSTATUS status = privstore::OpenStore(where, true, store); status != ERROR_SUCCESS)
        return status;
    path = where.Path() + "/" + rootName;
    return privstore::OpenFolderAt(store.Get(), rootName, true, folder);
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

LSTATUS OpenSubkey(int folder, std::string_view name, TFd& subkey, std::string& diskName) {
    diskName = EncodeName(name);
    if (diskName.size() > NAME_MAX) return ERROR_BAD_PATHNAME;
    LSTATUS status = privstore::OpenFolderAt(folder, diskName, false, subkey);
    if (status != ERROR_FILE_NOT_FOUND) return status;
    // Spelt otherwise than it was made: look for it without regard to case.
    std::string found;
    ForEachEntry(folder, [&](std::string_view entry, bool isFolder) {
        if (isFolder && IsKeyFolderName(entry) && SameName(DecodeName(entry), name)) {
            found = entry;
            return false;
        }
        return true;
    });
    if (found.empty()) return ERROR_FILE_NOT_FOUND;
    diskName = found;
    return privstore::OpenFolderAt(folder, diskName, false, subkey);
}

std::vector<TSubkeyEntry> ListSubkeys(int folder) {
    std::vector<TSubkeyEntry> subkeys;
    ForEachEntry(folder, [&](std::string_view entry, bool isFolder) {
        if (isFolder && IsKeyFolderName(entry))
            subkeys.push_back({DecodeName(entry), std::string(entry)});
        return true;
    });
    std::sort(subkeys.begin(), subkeys.end(),
              [](const auto& a, const auto& b) { return NameLess(a.Name, b.Name); });
    return subkeys;
}

bool HasSubkeys(int folder) {
    bool any = false;
    ForEachEntry(folder, [&](std::string_view entry, bool isFolder) {
        any = isFolder && IsKeyFolderName(entry);
        return !any;
    });
    return any;
}

bool IsDeleted(int folder) {
    struct stat st {};
    return ::fstat(folder, &st) != 0 || st.st_nlink == 0;
}

struct TFolderLock::TLocal {
    std::mutex Guard;
    std::condition_variable Freed;
    bool Held = false;
};

namespace {

struct TLocalLocks {
    std::mutex Guard;
    std::map<std::pair<dev_t, ino_t>, std::weak_ptr<TFolderLock::TLocal>> Locks;
};

TLocalLocks& LocalLocks() {
    static auto* locks = new TLocalLocks;  // outlives every static destructor
    return *locks;
}

// The threads' lock of the key folder `st` in this process. Folders no lock
// holds any more are forgotten as others are added.
std::shared_ptr<TFolderLock::TLocal> LocalLock(const struct stat& st) {
    auto& [guard, locks] = LocalLocks();
    std::lock_guard hold(guard);
    if (auto lock = locks[{st.st_dev, st.st_ino}].lock()) return lock;
    std::erase_if(locks, [](const auto& entry) { return entry.second.expired(); });
    auto lock = std::make_shared<TFolderLock::TLocal>();
    locks[{st.st_dev, st.st_ino}] = lock;
    return lock;
}

}  // namespace

void HoldFolderLocksForFork() {
    LocalLocks().Guard.lock();
}

void ReleaseFolderLocksAfterFork(bool child) {
    // The child has none of the threads that held or awaited a folder's
    // lock: its own threads start afresh (the file locks, which other
    // processes see, are the parent's and are let go with its descriptors).
    if (child) LocalLocks().Locks.clear();
    LocalLocks().Guard.unlock();
}

TFolderLock::TFolderLock(int folder)
    : fd_(::openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {
    struct stat st {};
    if (!fd_.Valid() || ::fstat(fd_.Get(), &st) != 0) {
        status_ = LastStoreError();
        return;
    }
    auto deadline = std::chrono::steady_clock::now() + privstore::DefaultLockWait;
    auto local = LocalLock(st);
    {
        std::unique_lock hold(local->Guard);
        if (!local->Freed.wait_until(hold, deadline, [&] { return !local->Held; })) {
            status_ = ERROR_LOCK_VIOLATION;
            return;
        }
        local->Held = true;
    }
    local_ = std::move(local);
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    status_ = privstore::LockFileWaiting(fd_.Get(), LOCK_EX,
                                         std::max(left, std::chrono::milliseconds(0)));
}

TFolderLock::~TFolderLock() {
    // The flock first, so the next thread finds it free; let go explicitly,
    // as a child forked meanwhile holds a copy of the descriptor, which
    // would keep the lock for as long as the child lives.
    if (fd_.Valid()) ::flock(fd_.Get(), LOCK_UN);
    fd_.Reset();
    if (!local_) return;
    {
        std::lock_guard hold(local_->Guard);
        local_->Held = false;
    }
    local_->Freed.notify_one();
}

LSTATUS WriteValues(int folder, const std::string& text, TFd& written) {
    // Under the key's lock no other writer is at work: a file left here is a
    // killed writer's.
    ::unlinkat(folder, TemporaryValuesName, 0);
    TFd file;
    if (LSTATUS status = privstore::OpenStoreFile(folder, TemporaryValuesName,
                                                  O_WRONLY | O_CREAT | O_EXCL, file);
        status != ERROR_SUCCESS)
        return status;
    // Flushed before the rename, so that a crash leaves the old file or the
    // new one, never an empty one in its place.
    bool flushed = WriteAll(file.Get(), text) && ::fsync(file.Get()) == 0;
    LSTATUS status = flushed ? ERROR_SUCCESS : LastStoreError();
    if (status == ERROR_SUCCESS &&
        ::renameat(folder, TemporaryValuesName, folder, ValuesFileName) != 0)
        status = LastStoreError();
    if (status != ERROR_SUCCESS) {
        ::unlinkat(folder, TemporaryValuesName, 0);
        return status;
    }
    written = std::move(file);
    return ERROR_SUCCESS;
}

namespace {

// Removes everything inside `folder` (the store's own: a key moved aside,
// with what killed deleters left in it), never following a link. The depth
// is bounded, so that no planted nest of folders can exhaust the stack.
void RemoveContents(int folder, int depth = 0) {
    std::vector<std::string> files, folders;
    ForEachEntry(folder, [&](std::string_view entry, bool isFolder) {
        (isFolder ? folders : files).emplace_back(entry);
        return true;
    });
    for (const auto& file : files) ::unlinkat(folder, file.c_str(), 0);
    if (depth >= 32) return;
    for (const auto& name : folders) {
        TFd inner;
        if (privstore::OpenFolderAt(folder, name, false, inner) != ERROR_SUCCESS) continue;
        RemoveContents(inner.Get(), depth + 1);
        ::unlinkat(folder, name.c_str(), AT_REMOVEDIR);
    }
}

constexpr std::string_view MovedAsidePrefix = "%deleted.";

}  // namespace

void RemoveLeftovers(int folder) {
    std::vector<std::string> files, folders;
    ForEachEntry(folder, [&](std::string_view entry, bool isFolder) {
        if (!isFolder && entry.starts_with("%values."))
            files.emplace_back(entry);
        else if (isFolder && entry.starts_with(MovedAsidePrefix))
            folders.emplace_back(entry);
        return true;
    });
    for (const auto& file : files) ::unlinkat(folder, file.c_str(), 0);
    for (const auto& name : folders) {
        TFd hidden;
        if (privstore::OpenFolderAt(folder, name, false, hidden) != ERROR_SUCCESS) continue;
        RemoveContents(hidden.Get());
        ::unlinkat(folder, name.c_str(), AT_REMOVEDIR);
    }
}

bool IsGone(int folder) {
    if (IsDeleted(folder)) return true;
    // The kernel follows a folder through renames: its path now tells
    // whether a deleter moved it aside (and was killed before removing it).
    char link[64];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", folder);
    char path[PATH_MAX + 1];
    const ssize_t length = ::readlink(link, path, sizeof path - 1);
    if (length <= 0) return false;
    const std::string_view now(path, static_cast<std::size_t>(length));
    const std::size_t slash = now.rfind('/');
    return slash != std::string_view::npos && now.substr(slash + 1).starts_with(MovedAsidePrefix);
}

LSTATUS MakeKeyFolder(int parent, const std::string& diskName, TFd& made) {
    if (diskName.size() > NAME_MAX) return ERROR_BAD_PATHNAME;
    return privstore::OpenFolderAt(parent, diskName, true, made);
}

LSTATUS RemoveKeyFolder(int parent, const std::string& diskName, int folder) {
    std::string hidden = std::string(MovedAsidePrefix) + UniqueSuffix();
    if (::renameat(parent, diskName.c_str(), parent, hidden.c_str()) != 0) return LastStoreError();
    // The key is deleted now: no name reaches it, and handles that hold it
    // see it moved aside. No subkey is left (the caller checked, holding the
    // lock creators take): what remains is the store's, the values file,
    // killed writers' temporary files and killed deleters' folders among it.
    // What cannot be removed now goes with the parent's next sweep.
    RemoveContents(folder);
    ::unlinkat(parent, hidden.c_str(), AT_REMOVEDIR);
    return ERROR_SUCCESS;
}

}  // namespace zr::os::regstore
