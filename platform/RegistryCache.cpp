#include "platform/RegistryCache.h"

#include <fcntl.h>

#include <atomic>
#include <cerrno>

namespace zr::os::regstore {

namespace {

// Starts at one, so that a cache that never read anything is never current.
std::atomic<std::uint64_t> generation{1};

// Made when the library loads, not at first use: a function-local static
// that another thread is still making when the process forks stays locked
// for ever in the child, which has no such thread to finish it.
const std::shared_ptr<const TValueSnapshot> noValues = std::make_shared<const TValueSnapshot>();

bool SameTime(const timespec& a, const timespec& b) {
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

}  // namespace

void NoteStoreChanged() {
    generation.fetch_add(1);
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
    struct stat st {};
    if (::fstatat(folder, ValuesFileName, &st, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno != ENOENT) return privstore::LastStoreError();
        values = noValues;  // a key without values
        return ERROR_SUCCESS;
    }
    std::lock_guard guard(lock_);
    // The file read is held open, so an equal inode is that very file.
    if (values_ && S_ISREG(st.st_mode) && StampOf(st) == valuesStamp_) {
        values = values_;
        return ERROR_SUCCESS;
    }
    TFd file;
    struct stat opened {};
    LSTATUS status = privstore::OpenStoreFile(folder, ValuesFileName, O_RDONLY, file, &opened);
    if (status == ERROR_FILE_NOT_FOUND) {
        values = noValues;
        return ERROR_SUCCESS;
    }
    if (status != ERROR_SUCCESS) return status;
    std::string text;
    if (status = privstore::ReadStoreFile(file.Get(), MaxValuesFileSize, text);
        status != ERROR_SUCCESS)
        return status == ERROR_NOT_ENOUGH_MEMORY ? ERROR_BADDB : status;
    auto parsed = TValueSnapshot::Parse(std::move(text));
    if (!parsed) return ERROR_BADDB;
    valuesFile_ = std::move(file);
    valuesStamp_ = StampOf(opened);
    values_ = std::make_shared<const TValueSnapshot>(std::move(*parsed));
    values = values_;
    return ERROR_SUCCESS;
}

LSTATUS TKeyCache::Replace(int folder, TValueSnapshot next) {
    {
        // The file about to be replaced is let go first, so that the rename
        // frees it at once rather than leave it to be freed on its own.
        std::lock_guard guard(lock_);
        valuesFile_.Reset();
        values_.reset();
    }
    TFd written;
    if (LSTATUS status = WriteValues(folder, next.Text(), written); status != ERROR_SUCCESS)
        return status;
    struct stat st {};
    std::lock_guard guard(lock_);
    if (::fstat(written.Get(), &st) != 0) {
        values_.reset();
        return ERROR_SUCCESS;  // written; read again next time
    }
    valuesFile_ = std::move(written);
    valuesStamp_ = StampOf(st);
    values_ = std::make_shared<const TValueSnapshot>(std::move(next));
    return ERROR_SUCCESS;
}

LSTATUS TKeyCache::Subkeys(int folder, std::shared_ptr<const TSubkeySnapshot>& subkeys) {
    std::uint64_t now = generation.load();
    struct stat st {};
    if (::fstat(folder, &st) != 0) return privstore::LastStoreError();
    if (st.st_nlink == 0) return ERROR_KEY_DELETED;
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
