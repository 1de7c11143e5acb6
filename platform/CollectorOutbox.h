// The collector's outbox: a private folder (0700, files 0600) where every
// envelope is written before the call that reported returns, and from which
// it is removed only once a collector took it or it was dropped. A process
// killed at any moment loses nothing: an envelope appears under its final
// name only complete (written under a hidden name, then renamed).
//
// Beside the envelopes: "<name>.retry" (the attempts and the time of the
// next, so a retry schedule outlives the process), "limit-<key>" (until when
// a collector asked for silence) and "discarded-<key>" (what was dropped
// unsent, for the next client report). <key> stands for one collector.
//
// Where: $ZORIRIVE_COLLECTOR_OUTBOX, else $XDG_STATE_HOME/zoririve/collector
// (~/.local/state when XDG_STATE_HOME is unset).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "CollectorEnvelope.h"
#include "LastError.h"
#include "PrivateStore.h"

namespace zr::os::collector {

long long NowMillis();

struct TOutboxLimits {
    std::size_t MaxCount = 1000;
    std::size_t MaxBytes = 64u << 20;
    long long MaxAgeMillis = 30LL * 24 * 3600 * 1000;
};

struct TWaiting {
    std::string Name;
    std::size_t Bytes = 0;
    long long CreatedMillis = 0;  // from the name
};

struct TRetryState {
    int Attempts = 0;
    long long NextMillis = 0;
};

// The short key that stands for a collector in the outbox's file names.
std::string CollectorKey(std::string_view dsn);

// "<16 digits of ms>-<event id>.envelope": names sort oldest first.
std::string EnvelopeName(long long createdMillis, std::string_view eventId);

class TOutbox {
  public:
    // Opens the outbox at its usual place, making it when missing.
    DWORD Open();
    // Opens the outbox in the folder `path` (tests, the tool's --outbox).
    DWORD OpenAt(const std::string& path);
    bool IsOpen() const { return folder_.Valid(); }
    const std::string& Path() const { return path_; }
    // The folder, for the writer that cannot allocate (see PutSignalSafe).
    int Folder() const { return folder_.Get(); }

    // Stores an envelope complete under `name`; not yet synced to the disk.
    // Takes a file the sender thread made ahead when there is one (making a
    // file is most of the cost of a report on a busy disk).
    DWORD Put(const std::string& name, std::string_view envelope, bool useSpare = true);
    // The sender thread's part: keeps `count` empty hidden files ready for
    // Put in this process. RemoveSpares takes the unused ones away again.
    void MakeSpares(unsigned count);
    void RemoveSpares();
    // Waiting envelopes, oldest first.
    std::vector<TWaiting> List() const;
    DWORD Read(const std::string& name, std::string& text) const;
    // Forces the envelope and the folder entry to the disk.
    DWORD Sync(const std::string& name) const;
    // Removes the envelope and its retry state.
    void Remove(const std::string& name);
    // An exclusive hold on an envelope while it is sent (another process
    // sending from the same outbox passes it over); -1 when another holds it.
    int Hold(const std::string& name) const;

    TRetryState Retry(const std::string& name) const;
    void SetRetry(const std::string& name, const TRetryState& state);

    long long LimitedUntil(std::string_view key) const;
    void SetLimitedUntil(std::string_view key, long long untilMillis);

    void AddDiscarded(std::string_view key, std::string_view reason, long long quantity);
    // The counts so far, emptied.
    std::vector<envelope::TDiscarded> TakeDiscarded(std::string_view key);
    // Puts counts back that could not be reported.
    void ReturnDiscarded(std::string_view key, const std::vector<envelope::TDiscarded>& counts);

    // Drops the oldest envelopes until the outbox keeps to `limits`, and
    // those older than the age limit; hidden files left by a writer killed
    // halfway go after an hour. Returns the names dropped with their
    // collectors' keys, for the client reports.
    std::vector<std::pair<std::string, std::string>> Enforce(const TOutboxLimits& limits,
                                                             long long nowMillis);

  private:
    DWORD ReadSmall(const std::string& name, std::string& text) const;
    void WriteSmall(const std::string& name, const std::string& text);
    privstore::TFd folder_;
    std::string path_;
};

// Writes `length` bytes of `data` as the envelope `name` in `folder`, with
// async-signal-safe calls only (for the last report of a fault that ends
// the process): a hidden file first, renamed when complete. `scratch`
// receives the hidden name and must hold strlen(name) + 8 bytes.
bool PutSignalSafe(int folder, const char* name, const char* data, std::size_t length,
                   char* scratch);

}  // namespace zr::os::collector
