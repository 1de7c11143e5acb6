// The registry store's folders and files: where the store is, how key names
// become folder names, the lock that orders writers, and the values file.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/RegistryValues.h"

namespace zr::os::regstore {

// The values file of a key folder, and the names the store keeps for itself.
inline constexpr std::string_view ValuesFileName = "%values";
inline bool IsStoreEntry(std::string_view diskName) {
    return !diskName.empty() && diskName.front() == '%';
}

std::string StoreFolder();

// "/" and "%" inside a key name would make a path or clash with the store's
// own files: they are written %2F and %25.
std::string EncodeName(std::string_view keyName);
std::string DecodeName(std::string_view diskName);

// The parts of a sub key path, or ERROR_BAD_PATHNAME (see Registry.h).
LSTATUS SplitKeyPath(const char* subKey, std::vector<std::string>& parts);

// The folder of the subkey `name` of `folder` (case-insensitive), or nothing.
std::optional<std::string> FindSubkey(const std::string& folder, std::string_view name);
// The subkeys' names, in case-insensitive order.
std::vector<std::string> SubkeyNames(const std::string& folder);

// Identifies a key folder, so that a handle notices its key being deleted
// (even when another key of the same name is made later).
struct TFolderId {
    dev_t Device = 0;
    ino_t Inode = 0;
    bool operator==(const TFolderId&) const = default;
};
std::optional<TFolderId> FolderId(const std::string& folder);

// An exclusive lock on a key folder (flock), held across processes while the
// folder's values or subkeys change.
class TFolderLock {
  public:
    explicit TFolderLock(const std::string& folder);
    ~TFolderLock();
    TFolderLock(const TFolderLock&) = delete;
    TFolderLock& operator=(const TFolderLock&) = delete;
    // ERROR_SUCCESS, or why the folder could not be locked.
    LSTATUS Status() const { return status_; }
    // The locked folder, or nothing when it could not be locked.
    std::optional<TFolderId> Id() const;
    // The locked folder is still found at `folder`: no one deleted (moved)
    // it while this lock was awaited.
    bool StillAt(const std::string& folder) const;

  private:
    int fd_ = -1;
    LSTATUS status_ = ERROR_SUCCESS;
};

// Reads the values of a key folder; a missing file is a key without values.
LSTATUS ReadValues(const std::string& folder, TValueList& values);
// Replaces the values file (write beside, flush, rename). The caller holds
// the folder's lock.
LSTATUS WriteValues(const std::string& folder, const TValueList& values);

// Makes a key folder; its parent is locked by the caller.
LSTATUS MakeKeyFolder(const std::string& folder);
// Moves a key folder out of sight under its parent and removes it, so that
// other processes see it go at once.
LSTATUS RemoveKeyFolder(const std::string& parent, const std::string& folder);

LSTATUS LastFileError();

}  // namespace zr::os::regstore
