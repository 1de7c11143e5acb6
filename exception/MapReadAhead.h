// A map file read on a thread of its own, ahead of any need: a last report,
// written where nothing may be read or allocated, can then name the source
// position even of the process's first fault.
#pragma once

#include <atomic>
#include <memory>
#include <string>

#include "KVMapFile.h"

namespace zr {

class TMapReadAhead : public std::enable_shared_from_this<TMapReadAhead> {
  public:
    // Starts reading `fileName`; the reader keeps itself alive until done.
    static std::shared_ptr<TMapReadAhead> Start(const std::string& fileName);

    // The map once read whole, never changed afterwards; null while it is
    // being read or when it could not be read. Async-signal-safe.
    const TKVMapFile* Map() const { return ready_.load(std::memory_order_acquire); }
    // Map(), after waiting up to `milliseconds` for a reading under way,
    // with async-signal-safe calls only.
    const TKVMapFile* WaitForMap(long milliseconds) const;

  private:
    TMapReadAhead() = default;
    void Read(const std::string& fileName);

    std::unique_ptr<TKVMapFile> map_;
    std::atomic<const TKVMapFile*> ready_{nullptr};
    std::atomic<bool> done_{false};
};

}  // namespace zr
