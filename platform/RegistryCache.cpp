#include "platform/RegistryCache.h"

#include <fcntl.h>

#include <atomic>
#include <cerrno>

namespace zr::os::regstore {

namespace {

// Starts at one, so that a cache that never read anything is never current.
std::atomic<std::uint64_t> generation{1};

std::string LowerName(std::string_view name) {
    std::string lower(name);
    for (char& c : lower)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return lower;
}

bool SameTime(const timespec& a, const timespec& b) {
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

}  // namespace

void NoteStoreChanged() {
    generation.fetch_add(1);
}

const TStoredValue* TValueSnapshot::Find(std::string_view name) const {
    auto it = Index.find(LowerName(name));
    return it == Index.end() ? nullptr : &Values[it->second];
}

bool TKeyCache::TStamp::operator==(const TStamp& other) const {
    return Device == other.Device && Inode == other.Inode && Size == other.Size &&
           Links == other.Links && SameTime(Modified, other.Modified) &&
           SameTime(Changed, other.Changed);
}

TKeyCache::TStamp TKeyCache::StampOf(const struct stat& st) {
    return {st.st_dev, st.st_ino, st.st_size, st.st_nlink, st.st_mtim, st.st_ctim};
}

LSTATUS TKeyCache::Values(int folder, std::shared_ptr<const TValueSnapshot>& values) {
    std::uint64_t now = generation.load();
    struct stat st {};
    if (::fstatat(folder, ValuesFileName, &st, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno != ENOENT) return privstore::LastStoreError();
        values = std::make_shared<TValueSnapshot>();  // a key without values
        return ERROR_SUCCESS;
    }
    std::lock_guard guard(lock_);
    if (values_ && valuesGeneration_ == now && S_ISREG(st.st_mode) && StampOf(st) == valuesStamp_) {
        values = values_;
        return ERROR_SUCCESS;
    }
    TFd file;
    struct stat opened {};
    LSTATUS status = privstore::OpenStoreFile(folder, ValuesFileName, O_RDONLY, file, &opened);
    if (status == ERROR_FILE_NOT_FOUND) {
        values = std::make_shared<TValueSnapshot>();
        return ERROR_SUCCESS;
    }
    if (status != ERROR_SUCCESS) return status;
    auto snapshot = std::make_shared<TValueSnapshot>();
    if (status = ReadValuesFile(file.Get(), snapshot->Values); status != ERROR_SUCCESS)
        return status;
    snapshot->Index.reserve(snapshot->Values.size());
    for (std::size_t i = 0; i < snapshot->Values.size(); ++i)
        snapshot->Index.emplace(LowerName(snapshot->Values[i].Name), i);  // the first one wins
    valuesFile_ = std::move(file);
    valuesStamp_ = StampOf(opened);
    valuesGeneration_ = now;
    values_ = snapshot;
    values = std::move(snapshot);
    return ERROR_SUCCESS;
}

LSTATUS TKeyCache::Subkeys(int folder, std::shared_ptr<const TSubkeySnapshot>& subkeys) {
    std::uint64_t now = generation.load();
    struct stat st {};
    if (::fstat(folder, &st) != 0) return privstore::LastStoreError();
    std::lock_guard guard(lock_);
    if (subkeys_ && subkeysGeneration_ == now && StampOf(st) == subkeysStamp_) {
        subkeys = subkeys_;
        return ERROR_SUCCESS;
    }
    auto snapshot = std::make_shared<TSubkeySnapshot>();
    snapshot->Subkeys = ListSubkeys(folder);
    subkeysStamp_ = StampOf(st);
    subkeysGeneration_ = now;
    subkeys_ = snapshot;
    subkeys = std::move(snapshot);
    return ERROR_SUCCESS;
}

}  // namespace zr::os::regstore
