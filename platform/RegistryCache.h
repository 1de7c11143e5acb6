// What a key handle has read of its key (the values, the subkey names),
// kept while the files on disk are still the ones it read, so that listing a
// key is linear and a query costs about one status call.
//
// The values file is replaced whole, never changed in place; the cache holds
// the file it read open, so its inode cannot be reused by a later file, and
// compares inode, size and change times with the file now in the folder.
// Any change to subkeys this process makes also drops every cached list, as
// a folder's times may not tell two changes in one clock tick apart.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "RegistrySnapshot.h"
#include "RegistryStore.h"

namespace zr::os::regstore {

struct TSubkeySnapshot {
    std::vector<TSubkeyEntry> Subkeys;
};

// Tells every cache that this process changed the store.
void NoteStoreChanged();

class TKeyCache {
  public:
    // The values of the key folder `folder`, as read now or before.
    LSTATUS Values(int folder, std::shared_ptr<const TValueSnapshot>& values);
    // Writes `next` as the key's values file and keeps it as what was read.
    // The caller holds the folder's lock.
    LSTATUS Replace(int folder, TValueSnapshot next);
    // The subkeys of the key folder `folder`, as listed now or before;
    // ERROR_KEY_DELETED when the folder was deleted.
    LSTATUS Subkeys(int folder, std::shared_ptr<const TSubkeySnapshot>& subkeys);
    // Held around a fork, so that the child never inherits it held.
    void HoldForFork() { lock_.lock(); }
    void ReleaseAfterFork() { lock_.unlock(); }

  private:
    struct TStamp {
        dev_t Device = 0;
        ino_t Inode = 0;
        off_t Size = 0;
        nlink_t Links = 0;
        timespec Modified{};
        timespec Changed{};
        bool operator==(const TStamp& other) const;
    };
    static TStamp StampOf(const struct stat& st);

    std::mutex lock_;
    TFd valuesFile_;  // the file the values were read from, held open
    TStamp valuesStamp_;
    std::shared_ptr<const TValueSnapshot> values_;
    TStamp subkeysStamp_;
    std::uint64_t subkeysGeneration_ = 0;
    std::shared_ptr<const TSubkeySnapshot> subkeys_;
};

}  // namespace zr::os::regstore
