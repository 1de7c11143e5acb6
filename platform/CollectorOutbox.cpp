#include "platform/CollectorOutbox.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <sstream>

namespace zr::os::collector {

namespace {

constexpr const char* kSuffix = ".envelope";
constexpr std::size_t kSmallFileLimit = 64 * 1024;
constexpr long long kStaleHiddenMillis = 3600 * 1000;

bool EndsWith(std::string_view text, std::string_view end) {
    return text.size() >= end.size() && text.substr(text.size() - end.size()) == end;
}

long long CreatedFromName(std::string_view name) {
    long long value = 0;
    for (std::size_t i = 0; i < 16 && i < name.size(); ++i) {
        if (name[i] < '0' || name[i] > '9') return 0;
        value = value * 10 + (name[i] - '0');
    }
    return value;
}

bool IsEnvelopeName(std::string_view name) {
    return name.size() > 17 && name[16] == '-' && EndsWith(name, kSuffix) &&
           name.find('/') == std::string_view::npos && CreatedFromName(name) > 0;
}

DWORD WriteAll(int fd, const char* data, std::size_t length) {
    while (length > 0) {
        const ssize_t n = ::write(fd, data, length);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return n < 0 ? privstore::LastStoreError() : ERROR_NOT_ENOUGH_QUOTA;
        data += n;
        length -= static_cast<std::size_t>(n);
    }
    return ERROR_SUCCESS;
}

std::atomic<unsigned> hiddenCounter{0};
// Files made ahead for this process's reports: those below `sparesMade`
// exist, those below `sparesTaken` are used.
std::atomic<unsigned> sparesMade{0};
std::atomic<unsigned> sparesTaken{0};

std::string SpareName(unsigned index) {
    return ".spare-" + std::to_string(getpid()) + "-" + std::to_string(index) + ".part";
}

// A spare file of this process, opened for writing; -1 when none is ready
// (or this outbox is not the one they were made in).
int TakeSpare(int folder, std::string& name) {
    unsigned index = sparesTaken.load();
    while (index < sparesMade.load()) {
        if (!sparesTaken.compare_exchange_weak(index, index + 1)) continue;
        name = SpareName(index);
        const int fd = ::openat(folder, name.c_str(), O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        struct stat st {};
        if (fd >= 0 && ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size == 0 &&
            st.st_uid == ::geteuid())
            return fd;
        if (fd >= 0) ::close(fd);
        return -1;
    }
    return -1;
}

}  // namespace

long long NowMillis() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::string CollectorKey(std::string_view dsn) {
    std::uint64_t hash = 1469598103934665603ull;  // FNV-1a
    for (const char c : dsn) hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211ull;
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(hash));
    return text;
}

std::string EnvelopeName(long long createdMillis, std::string_view eventId) {
    char stamp[24];
    std::snprintf(stamp, sizeof stamp, "%016lld", createdMillis);
    return std::string(stamp) + "-" + std::string(eventId) + kSuffix;
}

DWORD TOutbox::Open() {
    privstore::TStoreLocation where;
    if (DWORD status = privstore::LocateStore("ZORIRIVE_COLLECTOR_OUTBOX", "collector", where);
        status != ERROR_SUCCESS)
        return status;
    path_ = where.Path();
    return privstore::OpenStore(where, true, folder_);
}

DWORD TOutbox::OpenAt(const std::string& path) {
    privstore::TStoreLocation where;
    where.Base = path;
    path_ = path;
    return privstore::OpenStore(where, true, folder_);
}

DWORD TOutbox::Put(const std::string& name, std::string_view envelope, bool useSpare) {
    std::string hidden;
    privstore::TFd file(useSpare ? TakeSpare(folder_.Get(), hidden) : -1);
    const bool spare = file.Valid();
    if (!spare) {
        hidden = "." + std::to_string(getpid()) + "-" + std::to_string(hiddenCounter.fetch_add(1)) +
                 ".part";
        if (DWORD status = privstore::OpenStoreFile(folder_.Get(), hidden.c_str(),
                                                    O_WRONLY | O_CREAT | O_EXCL, file);
            status != ERROR_SUCCESS)
            return status;
    }
    DWORD status = WriteAll(file.Get(), envelope.data(), envelope.size());
    file.Reset();
    if (status == ERROR_SUCCESS &&
        ::renameat(folder_.Get(), hidden.c_str(), folder_.Get(), name.c_str()) != 0)
        status = privstore::LastStoreError();
    if (status == ERROR_SUCCESS) return status;
    ::unlinkat(folder_.Get(), hidden.c_str(), 0);
    // A spare that went meanwhile (cleared away as stale): a file of its own.
    return spare ? Put(name, envelope, false) : status;
}

void TOutbox::MakeSpares(unsigned count) {
    while (sparesMade.load() - sparesTaken.load() < count) {
        privstore::TFd file;
        if (privstore::OpenStoreFile(folder_.Get(), SpareName(sparesMade.load()).c_str(),
                                     O_WRONLY | O_CREAT | O_EXCL, file) != ERROR_SUCCESS)
            return;
        sparesMade.fetch_add(1);
    }
}

void TOutbox::RemoveSpares() {
    const unsigned made = sparesMade.load();
    unsigned index = sparesTaken.load();
    // Taken here, so that no report can pick one up any more.
    while (index < made && !sparesTaken.compare_exchange_weak(index, made)) {
    }
    for (; index < made; ++index) ::unlinkat(folder_.Get(), SpareName(index).c_str(), 0);
}

std::vector<TWaiting> TOutbox::List() const {
    std::vector<TWaiting> waiting;
    const int copy = ::openat(folder_.Get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (copy < 0) return waiting;
    DIR* dir = ::fdopendir(copy);
    if (dir == nullptr) {
        ::close(copy);
        return waiting;
    }
    while (const dirent* entry = ::readdir(dir)) {
        const std::string_view name = entry->d_name;
        if (!IsEnvelopeName(name)) continue;
        struct stat st {};
        if (::fstatat(folder_.Get(), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 ||
            !S_ISREG(st.st_mode))
            continue;
        waiting.push_back({std::string(name), static_cast<std::size_t>(st.st_size),
                           CreatedFromName(name)});
    }
    ::closedir(dir);
    std::sort(waiting.begin(), waiting.end(),
              [](const TWaiting& a, const TWaiting& b) { return a.Name < b.Name; });
    return waiting;
}

DWORD TOutbox::Read(const std::string& name, std::string& text) const {
    privstore::TFd file;
    if (DWORD status = privstore::OpenStoreFile(folder_.Get(), name.c_str(), O_RDONLY, file);
        status != ERROR_SUCCESS)
        return status;
    return privstore::ReadStoreFile(file.Get(), envelope::MaxEnvelopeBytes, text);
}

DWORD TOutbox::Sync(const std::string& name) const {
    privstore::TFd file;
    if (DWORD status = privstore::OpenStoreFile(folder_.Get(), name.c_str(), O_RDONLY, file);
        status != ERROR_SUCCESS)
        return status;
    if (::fsync(file.Get()) != 0 || ::fsync(folder_.Get()) != 0)
        return privstore::LastStoreError();
    return ERROR_SUCCESS;
}

void TOutbox::Remove(const std::string& name) {
    ::unlinkat(folder_.Get(), name.c_str(), 0);
    ::unlinkat(folder_.Get(), (name + ".retry").c_str(), 0);
}

int TOutbox::Hold(const std::string& name) const {
    privstore::TFd file;
    if (privstore::OpenStoreFile(folder_.Get(), name.c_str(), O_RDONLY, file) != ERROR_SUCCESS)
        return -1;
    if (::flock(file.Get(), LOCK_EX | LOCK_NB) != 0) return -1;
    return file.Release();
}

DWORD TOutbox::ReadSmall(const std::string& name, std::string& text) const {
    text.clear();
    privstore::TFd file;
    if (DWORD status = privstore::OpenStoreFile(folder_.Get(), name.c_str(), O_RDONLY, file);
        status != ERROR_SUCCESS)
        return status;
    return privstore::ReadStoreFile(file.Get(), kSmallFileLimit, text);
}

// Replaced whole (a hidden file renamed over it), so a reader never sees
// half of it.
void TOutbox::WriteSmall(const std::string& name, const std::string& text) {
    Put(name, text, false);
}

TRetryState TOutbox::Retry(const std::string& name) const {
    TRetryState state;
    std::string text;
    if (ReadSmall(name + ".retry", text) == ERROR_SUCCESS)
        std::istringstream(text) >> state.Attempts >> state.NextMillis;
    return state;
}

void TOutbox::SetRetry(const std::string& name, const TRetryState& state) {
    WriteSmall(name + ".retry",
               std::to_string(state.Attempts) + " " + std::to_string(state.NextMillis) + "\n");
}

long long TOutbox::LimitedUntil(std::string_view key) const {
    std::string text;
    long long until = 0;
    if (ReadSmall("limit-" + std::string(key), text) == ERROR_SUCCESS)
        std::istringstream(text) >> until;
    return until;
}

void TOutbox::SetLimitedUntil(std::string_view key, long long untilMillis) {
    WriteSmall("limit-" + std::string(key), std::to_string(untilMillis) + "\n");
}

namespace {

std::vector<envelope::TDiscarded> ParseCounts(const std::string& text) {
    std::vector<envelope::TDiscarded> counts;
    std::istringstream lines(text);
    std::string reason;
    long long quantity = 0;
    while (lines >> reason >> quantity) {
        auto known = std::find_if(counts.begin(), counts.end(),
                                  [&](const auto& count) { return count.Reason == reason; });
        if (known == counts.end())
            counts.push_back({reason, quantity});
        else
            known->Quantity += quantity;
    }
    return counts;
}

std::string CountsText(const std::vector<envelope::TDiscarded>& counts) {
    std::string text;
    for (const auto& count : counts)
        if (count.Quantity > 0) text += count.Reason + " " + std::to_string(count.Quantity) + "\n";
    return text;
}

}  // namespace

void TOutbox::AddDiscarded(std::string_view key, std::string_view reason, long long quantity) {
    ReturnDiscarded(key, {{std::string(reason), quantity}});
}

std::vector<envelope::TDiscarded> TOutbox::TakeDiscarded(std::string_view key) {
    const std::string name = "discarded-" + std::string(key);
    privstore::TFd file;
    if (privstore::OpenStoreFile(folder_.Get(), name.c_str(), O_RDWR, file) != ERROR_SUCCESS)
        return {};
    if (privstore::LockFile(file.Get(), LOCK_EX) != ERROR_SUCCESS) return {};
    std::string text;
    if (privstore::ReadStoreFile(file.Get(), kSmallFileLimit, text) != ERROR_SUCCESS) return {};
    if (::ftruncate(file.Get(), 0) != 0) return {};
    return ParseCounts(text);
}

void TOutbox::ReturnDiscarded(std::string_view key,
                              const std::vector<envelope::TDiscarded>& counts) {
    const std::string name = "discarded-" + std::string(key);
    privstore::TFd file;
    if (privstore::OpenStoreFile(folder_.Get(), name.c_str(), O_RDWR | O_CREAT, file) !=
        ERROR_SUCCESS)
        return;
    if (privstore::LockFile(file.Get(), LOCK_EX) != ERROR_SUCCESS) return;
    std::string text;
    if (privstore::ReadStoreFile(file.Get(), kSmallFileLimit, text) != ERROR_SUCCESS) text.clear();
    std::vector<envelope::TDiscarded> all = ParseCounts(text + CountsText(counts));
    const std::string updated = CountsText(all);
    if (::ftruncate(file.Get(), 0) == 0 && ::lseek(file.Get(), 0, SEEK_SET) == 0)
        WriteAll(file.Get(), updated.data(), updated.size());
}

std::vector<std::pair<std::string, std::string>> TOutbox::Enforce(const TOutboxLimits& limits,
                                                                   long long nowMillis) {
    std::vector<std::pair<std::string, std::string>> dropped;
    std::vector<TWaiting> waiting = List();
    std::size_t bytes = 0;
    for (const TWaiting& item : waiting) bytes += item.Bytes;
    std::size_t count = waiting.size();
    for (const TWaiting& item : waiting) {
        const bool tooOld = nowMillis - item.CreatedMillis > limits.MaxAgeMillis;
        if (!tooOld && count <= limits.MaxCount && bytes <= limits.MaxBytes) break;
        std::string text;
        envelope::TEnvelope parsed;
        std::string error;
        std::string key;
        if (Read(item.Name, text) == ERROR_SUCCESS && envelope::Parse(text, parsed, error))
            key = CollectorKey(parsed.Header.StringAt("dsn"));
        const int hold = Hold(item.Name);
        if (hold < 0) continue;  // being sent right now
        Remove(item.Name);
        ::close(hold);
        --count;
        bytes -= item.Bytes;
        dropped.emplace_back(item.Name, key);
        if (!key.empty()) AddDiscarded(key, tooOld ? "cache_overflow" : "queue_overflow", 1);
    }
    // Hidden files of writers killed halfway.
    const int copy = ::openat(folder_.Get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (DIR* dir = copy >= 0 ? ::fdopendir(copy) : nullptr) {
        while (const dirent* entry = ::readdir(dir)) {
            const std::string_view name = entry->d_name;
            if (name.size() < 2 || name[0] != '.' || !EndsWith(name, ".part")) continue;
            struct stat st {};
            if (::fstatat(folder_.Get(), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
                nowMillis - static_cast<long long>(st.st_mtime) * 1000 > kStaleHiddenMillis)
                ::unlinkat(folder_.Get(), entry->d_name, 0);
        }
        ::closedir(dir);
    } else if (copy >= 0) {
        ::close(copy);
    }
    return dropped;
}

bool PutSignalSafe(int folder, const char* name, const char* data, std::size_t length,
                   char* scratch) {
    const std::size_t nameLength = std::strlen(name);
    scratch[0] = '.';
    std::memcpy(scratch + 1, name, nameLength);
    std::memcpy(scratch + 1 + nameLength, ".part", 6);
    const int fd = ::openat(folder, scratch, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW,
                            privstore::FileMode);
    if (fd < 0) return false;
    bool written = true;
    while (length > 0) {
        const ssize_t n = ::write(fd, data, length);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            written = false;
            break;
        }
        data += n;
        length -= static_cast<std::size_t>(n);
    }
    written = written && ::fsync(fd) == 0;
    ::close(fd);
    if (written && ::renameat(folder, scratch, folder, name) == 0) return true;
    ::unlinkat(folder, scratch, 0);
    return false;
}

}  // namespace zr::os::collector
