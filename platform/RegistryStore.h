// The registry store's folders and files: where the store is, how key names
// become folder names, the lock that orders writers, and the values file.
// Every key folder is reached from an open folder one name at a time, never
// through a link, so nothing planted in the store leads a call outside it.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "PrivateStore.h"
#include "RegistryValues.h"

namespace zr::os::regstore {

using privstore::TFd;

// The values file of a key folder, and the file a new one is written to
// before it takes its place: one name per key, so a writer killed halfway
// leaves a file the next writer of that key removes.
inline constexpr const char* ValuesFileName = "%values";
inline constexpr const char* TemporaryValuesName = "%values.new";
// A values file longer than this is refused before it is read.
inline constexpr std::size_t MaxValuesFileSize = std::size_t{64} << 20;

// Key names are kept as folder names with "%" and "/" written %25 and %2F.
// Those are the only escapes an encoded name holds, so a name that starts
// with "%" and any other text ("%values", "%deleted.…") is the store's own.
std::string EncodeName(std::string_view keyName);
bool IsKeyFolderName(std::string_view diskName);
inline bool IsStoreEntry(std::string_view diskName) {
    return !IsKeyFolderName(diskName);
}
// The key name of a key folder's name (IsKeyFolderName is true).
std::string DecodeName(std::string_view diskName);

// The store folder in use now, "" when there is none (no home folder).
std::string StoreFolder();
// Opens the folder of a predefined root key, making the store and the folder
// when they are missing.
LSTATUS OpenRootFolder(const char* rootName, TFd& folder, std::string& path);

// The parts of a sub key path, or ERROR_BAD_PATHNAME (see Registry.h).
LSTATUS SplitKeyPath(const char* subKey, std::vector<std::string>& parts);

// Opens the subkey `name` of `folder` (case-insensitive); ERROR_FILE_NOT_FOUND
// when there is none. `diskName` receives its folder's name.
LSTATUS OpenSubkey(int folder, std::string_view name, TFd& subkey, std::string& diskName);

struct TSubkeyEntry {
    std::string Name;
    std::string DiskName;
};
// The subkeys of `folder`, in case-insensitive order of their names.
std::vector<TSubkeyEntry> ListSubkeys(int folder);
bool HasSubkeys(int folder);

// The key folder was deleted (removed while a handle held it open).
bool IsDeleted(int folder);
// The same, or moved aside by a deleter that was killed before it removed
// the folder: nothing may be written into it. One more system call than
// IsDeleted; writers and creators ask it under the folder's lock.
bool IsGone(int folder);

// An exclusive lock on a key folder, held while the folder's values or
// subkeys change: a flock on a descriptor of its own for other processes,
// and, taken first, a mutex per folder for the threads of this one (they
// would otherwise poll for the flock and starve each other). A lock held
// elsewhere is waited on itself (LockFileWaiting), so it passes here the
// moment it is free, for a few seconds at most; then the call fails with
// ERROR_LOCK_VIOLATION.
class TFolderLock {
  public:
    explicit TFolderLock(int folder);
    ~TFolderLock();
    TFolderLock(const TFolderLock&) = delete;
    TFolderLock& operator=(const TFolderLock&) = delete;
    LSTATUS Status() const { return status_; }

    struct TLocal;  // the threads' side of one folder's lock

  private:
    std::shared_ptr<TLocal> local_;  // set while this holds it
    TFd fd_;
    LSTATUS status_ = ERROR_SUCCESS;
};

// Around a fork: the child starts with no folder held by a thread of this
// process (it has none of them).
void HoldFolderLocksForFork();
void ReleaseFolderLocksAfterFork(bool child);

// Replaces the values file with `text` (write beside, flush, rename); the
// caller holds the folder's lock. `written` is left holding the new file.
LSTATUS WriteValues(int folder, const std::string& text, TFd& written);

// Removes what killed writers and deleters left in a key folder: temporary
// values files (also those of older versions, named "%values.<pid>.<n>") and
// key folders moved aside for deletion, with everything in them. The caller
// holds the folder's lock, which every writer and deleter of this folder
// holds while its files exist.
void RemoveLeftovers(int folder);

// Makes the key folder `diskName` in `parent` (locked by the caller).
LSTATUS MakeKeyFolder(int parent, const std::string& diskName, TFd& made);
// Moves the key folder out of sight under its parent, then removes it and
// everything of the store's in it (a killed deleter's folders too). `folder`
// is the key folder itself, locked by the caller and checked to hold no
// subkeys. Once moved aside the key is deleted: what cannot be removed at
// once is left for the parent's next sweep, and the call succeeds.
LSTATUS RemoveKeyFolder(int parent, const std::string& diskName, int folder);

}  // namespace zr::os::regstore
