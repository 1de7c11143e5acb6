#include "platform/EventLog.h"

#include <dirent.h>
#include <fcntl.h>
#include <strings.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/EventLogFile.h"
#include "platform/Registry.h"

namespace zr::os {

namespace {

using eventlog::FileIndex;

constexpr const char* FileSuffix = ".evtlog";
constexpr const char* SourcesKey = "SYSTEM\\CurrentControlSet\\Services\\EventLog";

DWORD SystemClock() {
    return static_cast<DWORD>(std::time(nullptr));
}
std::atomic<EventLogClock> clock_{&SystemClock};

std::string HostName() {
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) != 0) return "localhost";
    return name;
}

bool IsLocalServer(const char* server) {
    if (server == nullptr) return true;
    std::string name = server;
    if (name.rfind("\\\\", 0) == 0) name.erase(0, 2);
    return name.empty() || name == "." || ::strcasecmp(name.c_str(), "localhost") == 0 ||
           ::strcasecmp(name.c_str(), HostName().c_str()) == 0;
}

bool IsUsableLogName(const std::string& name) {
    return !name.empty() && name.size() <= 200 && name != "." && name != ".." &&
           name.find('/') == std::string::npos;
}

// The file of log `name` in `store`: an existing one whose name matches without
// regard to case, else one spelt as given.
std::string LogFilePath(const std::string& store, const std::string& name) {
    const std::string wanted = name + FileSuffix;
    std::string exact = store + "/" + wanted;
    struct stat info;
    if (::stat(exact.c_str(), &info) == 0) return exact;
    if (DIR* dir = ::opendir(store.c_str())) {
        while (const dirent* entry = ::readdir(dir)) {
            if (::strcasecmp(entry->d_name, wanted.c_str()) == 0) {
                exact = store + "/" + entry->d_name;
                break;
            }
        }
        ::closedir(dir);
    }
    return exact;
}

// One open log file, locked for as long as it lives.
class LockedFile {
  public:
    LockedFile(const std::string& path, bool forWriting) {
        fd_ = ::open(path.c_str(), forWriting ? O_RDWR | O_CREAT | O_CLOEXEC : O_RDONLY | O_CLOEXEC,
                     0644);
        if (fd_ < 0) return;
        while (::flock(fd_, forWriting ? LOCK_EX : LOCK_SH) != 0) {
            if (errno == EINTR) continue;
            const int error = errno;
            ::close(fd_);
            fd_ = -1;
            errno = error;
            return;
        }
    }
    ~LockedFile() {
        if (fd_ >= 0) ::close(fd_);  // closing the last descriptor releases the lock
    }
    LockedFile(const LockedFile&) = delete;
    LockedFile& operator=(const LockedFile&) = delete;
    int Fd() const { return fd_; }

  private:
    int fd_ = -1;
};

struct LogHandle {
    enum Kind { Reader, Source } kind;
    std::string store;
    std::string logName;
    std::string source;  // Source handles
    std::mutex mutex;
    DWORD nextRecord = 0;  // of a sequential read; 0 before the first read
};

// The position of a sequential read that has read the oldest record backwards.
constexpr DWORD PastTheEnd = 0xFFFFFFFF;

// What this process knows of each log file, shared by all its handles, so
// that a write (a source is often registered for one entry) reads only what
// other writers appended since, not the whole file.
struct SharedIndex {
    std::mutex mutex;
    FileIndex index;
};
std::mutex indexesMutex;
std::map<std::string, std::shared_ptr<SharedIndex>> indexes;

std::shared_ptr<SharedIndex> IndexOf(const std::string& path) {
    std::lock_guard lock(indexesMutex);
    auto& entry = indexes[path];
    if (!entry) entry = std::make_shared<SharedIndex>();
    return entry;
}

std::mutex tableMutex;
std::map<HANDLE, std::shared_ptr<LogHandle>> table;

HANDLE Enter(std::shared_ptr<LogHandle> handle) {
    std::lock_guard lock(tableMutex);
    HANDLE key = handle.get();
    table.emplace(key, std::move(handle));
    return key;
}

std::shared_ptr<LogHandle> Find(HANDLE key, LogHandle::Kind kind) {
    std::lock_guard lock(tableMutex);
    auto found = table.find(key);
    if (found == table.end() || found->second->kind != kind) return nullptr;
    return found->second;
}

BOOL Fail(DWORD code) {
    SetLastError(code);
    return FALSE;
}

BOOL Close(HANDLE key, LogHandle::Kind kind) {
    std::lock_guard lock(tableMutex);
    auto found = table.find(key);
    if (found == table.end() || found->second->kind != kind) return Fail(ERROR_INVALID_HANDLE);
    table.erase(found);
    return TRUE;
}

HANDLE OpenHandle(LogHandle::Kind kind, const char* server, const char* logName,
                  const char* source) {
    if (!IsLocalServer(server)) {
        SetLastError(RPC_S_SERVER_UNAVAILABLE);
        return nullptr;
    }
    auto handle = std::make_shared<LogHandle>();
    handle->kind = kind;
    handle->logName = logName && *logName ? logName : "Application";
    handle->source = source ? source : "";
    handle->store = EventLogStoreFolder();
    if (!IsUsableLogName(handle->logName) ||
        (kind == LogHandle::Source && handle->source.empty())) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return Enter(std::move(handle));
}

// Brings the log's index up to date under a shared lock and runs `use` with
// the file (-1 when the log has no file yet) and the index while the lock is held.
template <typename Use>
BOOL WithReadLock(LogHandle& log, Use use) {
    const std::string path = LogFilePath(log.store, log.logName);
    auto shared = IndexOf(path);
    std::lock_guard lock(shared->mutex);
    LockedFile file(path, false);
    if (file.Fd() < 0) {
        if (errno != ENOENT) return Fail(ErrorFromErrno(errno));
        shared->index = FileIndex{};
        return use(-1, shared->index);
    }
    if (!eventlog::Scan(file.Fd(), shared->index)) return Fail(ErrorFromErrno(errno));
    return use(file.Fd(), shared->index);
}

// The number of the first record a read returns, or 0 with the error set.
DWORD FirstToRead(const LogHandle& log, DWORD count, DWORD flags, DWORD recordOffset) {
    const bool backwards = flags & EVENTLOG_BACKWARDS_READ;
    if (flags & EVENTLOG_SEEK_READ) {
        if (recordOffset == 0 || recordOffset > count) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return 0;
        }
        return recordOffset;
    }
    DWORD next = log.nextRecord;
    if (next == 0 && count > 0) next = backwards ? count : 1;
    if (next == 0 || next > count) {
        SetLastError(ERROR_HANDLE_EOF);
        return 0;
    }
    return next;
}

bool ValidReadFlags(DWORD flags) {
    const DWORD how = flags & (EVENTLOG_SEQUENTIAL_READ | EVENTLOG_SEEK_READ);
    const DWORD way = flags & (EVENTLOG_FORWARDS_READ | EVENTLOG_BACKWARDS_READ);
    const DWORD known = EVENTLOG_SEQUENTIAL_READ | EVENTLOG_SEEK_READ | EVENTLOG_FORWARDS_READ |
                        EVENTLOG_BACKWARDS_READ;
    return (flags & ~known) == 0 &&
           (how == EVENTLOG_SEQUENTIAL_READ || how == EVENTLOG_SEEK_READ) &&
           (way == EVENTLOG_FORWARDS_READ || way == EVENTLOG_BACKWARDS_READ);
}

enum class ReadResult { Done, Failed, Stale };

// Copies the records a read asks for, as ReadEventLogA describes.
ReadResult CopyRecords(LogHandle& log, int fd, const FileIndex& index, DWORD flags,
                       DWORD recordOffset, void* buffer, DWORD bytesToRead, DWORD* bytesRead,
                       DWORD* bytesNeeded) {
    *bytesRead = 0;
    DWORD number = FirstToRead(log, index.Count(), flags, recordOffset);
    if (number == 0) return ReadResult::Failed;
    const bool backwards = flags & EVENTLOG_BACKWARDS_READ;
    std::vector<std::uint8_t> record;
    auto* out = static_cast<std::uint8_t*>(buffer);
    while (number >= 1 && number <= index.Count()) {
        if (!eventlog::ReadRecord(fd, index, number, record) ||
            !eventlog::RecordChecksOut(record.data(), record.size(), number))
            return ReadResult::Stale;
        if (*bytesRead + record.size() > bytesToRead) {
            if (*bytesRead > 0) break;
            *bytesNeeded = static_cast<DWORD>(record.size());
            SetLastError(ERROR_INSUFFICIENT_BUFFER);
            return ReadResult::Failed;
        }
        std::memcpy(out + *bytesRead, record.data(), record.size());
        *bytesRead += static_cast<DWORD>(record.size());
        number = backwards ? number - 1 : number + 1;
    }
    log.nextRecord = number == 0 ? PastTheEnd : number;
    return ReadResult::Done;
}

// The log whose registry key lists `source`, or Application.
std::string LogOfSource(const std::string& source) {
    std::string result = "Application";
    HKEY logs = 0;
    if (RegOpenKeyEx(HKEY_LOCAL_MACHINE, SourcesKey, 0, KEY_READ, &logs) != ERROR_SUCCESS)
        return result;
    char name[256];
    for (DWORD i = 0;; ++i) {
        DWORD length = sizeof name;
        if (RegEnumKeyEx(logs, i, name, &length, nullptr, nullptr, nullptr, nullptr) !=
            ERROR_SUCCESS)
            break;
        HKEY log = 0;
        if (RegOpenKeyEx(logs, name, 0, KEY_READ, &log) != ERROR_SUCCESS) continue;
        HKEY entry = 0;
        const bool listed = RegOpenKeyEx(log, source.c_str(), 0, KEY_READ, &entry) == ERROR_SUCCESS;
        if (listed) RegCloseKey(entry);
        RegCloseKey(log);
        if (listed) {
            result = name;
            break;
        }
    }
    RegCloseKey(logs);
    return result;
}

int SyslogPriority(WORD type) {
    switch (type) {
        case EVENTLOG_ERROR_TYPE:
            return LOG_ERR;
        case EVENTLOG_WARNING_TYPE:
            return LOG_WARNING;
        case EVENTLOG_AUDIT_FAILURE:
            return LOG_NOTICE;
        default:
            return LOG_INFO;
    }
}

void SendToSyslog(const LogHandle& log, const eventlog::RecordFields& fields) {
    std::string text;
    for (const auto& s : fields.strings) text += (text.empty() ? "" : " ") + s;
    ::syslog(LOG_USER | SyslogPriority(fields.type), "%s (%s log, event %u): %s",
             fields.source.c_str(), log.logName.c_str(), fields.eventId, text.c_str());
}

// Appends the record under the exclusive lock, cutting off a torn tail first.
BOOL Append(LogHandle& log, eventlog::RecordFields& fields) {
    std::error_code ignored;
    std::filesystem::create_directories(log.store, ignored);
    const std::string path = LogFilePath(log.store, log.logName);
    auto shared = IndexOf(path);
    std::lock_guard lock(shared->mutex);
    FileIndex& index = shared->index;
    LockedFile file(path, true);
    if (file.Fd() < 0) return Fail(ErrorFromErrno(errno));
    if (!eventlog::Scan(file.Fd(), index)) return Fail(ErrorFromErrno(errno));
    fields.number = index.Count() + 1;
    const std::vector<std::uint8_t> record = eventlog::ComposeRecord(fields);
    if (record.empty()) return Fail(ERROR_INVALID_PARAMETER);

    const off_t at = index.validEnd;
    bool written = ::ftruncate(file.Fd(), at) == 0;
    for (std::size_t done = 0; written && done < record.size();) {
        const ssize_t n = ::pwrite(file.Fd(), record.data() + done, record.size() - done,
                                   at + static_cast<off_t>(done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0)
            written = false;
        else
            done += static_cast<std::size_t>(n);
    }
    if (!written) {
        const int error = errno ? errno : ENOSPC;
        // A part of a record would be cut off by the next writer anyway; it
        // goes now so that the file never holds more than whole records.
        (void)::ftruncate(file.Fd(), at);
        return Fail(ErrorFromErrno(error));
    }
    return TRUE;
}

}  // namespace

std::string EventLogStoreFolder() {
    if (const char* store = std::getenv("ZORIRIVE_EVENTLOG"); store && *store) return store;
    if (const char* state = std::getenv("XDG_STATE_HOME"); state && *state)
        return std::string(state) + "/zoririve/eventlog";
    const char* home = std::getenv("HOME");
    return std::string(home && *home ? home : "/tmp") + "/.local/state/zoririve/eventlog";
}

EventLogClock SetEventLogClock(EventLogClock clock) {
    return clock_.exchange(clock ? clock : &SystemClock);
}

std::string CurrentUserSid() {
    const char head[8] = {1, 2, 0, 0, 0, 0, 0, 22};  // revision 1, two parts, authority 22
    std::string sid(head, sizeof head);
    auto add = [&](DWORD part) { sid.append(reinterpret_cast<const char*>(&part), 4); };
    add(1);  // a Unix user
    add(static_cast<DWORD>(::getuid()));
    return sid;
}

std::string SidToString(const void* sid, DWORD length) {
    const auto* bytes = static_cast<const std::uint8_t*>(sid);
    if (!bytes || length < 8 || length != 8u + 4u * bytes[1]) return "";
    std::uint64_t authority = 0;
    for (int i = 2; i < 8; ++i) authority = authority << 8 | bytes[i];
    std::string text = "S-" + std::to_string(bytes[0]) + "-" + std::to_string(authority);
    for (DWORD i = 0; i < bytes[1]; ++i) {
        DWORD part;
        std::memcpy(&part, bytes + 8 + 4 * i, 4);
        text += "-" + std::to_string(part);
    }
    return text;
}

HANDLE OpenEventLogA(const char* server, const char* logName) {
    return OpenHandle(LogHandle::Reader, server, logName, nullptr);
}

BOOL CloseEventLog(HANDLE log) {
    return Close(log, LogHandle::Reader);
}

BOOL GetNumberOfEventLogRecords(HANDLE handle, DWORD* count) {
    auto log = Find(handle, LogHandle::Reader);
    if (!log) return Fail(ERROR_INVALID_HANDLE);
    if (!count) return Fail(ERROR_INVALID_PARAMETER);
    std::lock_guard lock(log->mutex);
    return WithReadLock(*log, [&](int, const FileIndex& index) {
        *count = index.Count();
        return TRUE;
    });
}

BOOL GetOldestEventLogRecord(HANDLE handle, DWORD* number) {
    auto log = Find(handle, LogHandle::Reader);
    if (!log) return Fail(ERROR_INVALID_HANDLE);
    if (!number) return Fail(ERROR_INVALID_PARAMETER);
    std::lock_guard lock(log->mutex);
    return WithReadLock(*log, [&](int, const FileIndex& index) {
        *number = index.Count() > 0 ? 1 : 0;
        return TRUE;
    });
}

BOOL ReadEventLogA(HANDLE handle, DWORD flags, DWORD recordOffset, void* buffer, DWORD bytesToRead,
                   DWORD* bytesRead, DWORD* bytesNeeded) {
    auto log = Find(handle, LogHandle::Reader);
    if (!log) return Fail(ERROR_INVALID_HANDLE);
    if (!bytesRead || !bytesNeeded || !ValidReadFlags(flags) || (!buffer && bytesToRead != 0))
        return Fail(ERROR_INVALID_PARAMETER);
    *bytesRead = 0;
    *bytesNeeded = 0;
    std::lock_guard lock(log->mutex);
    return WithReadLock(*log, [&](int fd, FileIndex& index) -> BOOL {
        ReadResult result = CopyRecords(*log, fd, index, flags, recordOffset, buffer, bytesToRead,
                                        bytesRead, bytesNeeded);
        if (result == ReadResult::Stale) {
            // A record is not where the index says: the file was replaced or
            // rewritten behind the store's back. Its index is built afresh, once.
            index = FileIndex{};
            if (!eventlog::Scan(fd, index)) return Fail(ErrorFromErrno(errno));
            result = CopyRecords(*log, fd, index, flags, recordOffset, buffer, bytesToRead,
                                 bytesRead, bytesNeeded);
            if (result == ReadResult::Stale) return Fail(ERROR_HANDLE_EOF);
        }
        return result == ReadResult::Done ? TRUE : FALSE;
    });
}

HANDLE RegisterEventSourceA(const char* server, const char* source) {
    if (!IsLocalServer(server)) {
        SetLastError(RPC_S_SERVER_UNAVAILABLE);
        return nullptr;
    }
    if (!source || !*source) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return RegisterEventSourceInLogA(server, LogOfSource(source).c_str(), source);
}

HANDLE RegisterEventSourceInLogA(const char* server, const char* logName, const char* source) {
    return OpenHandle(LogHandle::Source, server, logName, source);
}

BOOL DeregisterEventSource(HANDLE source) {
    return Close(source, LogHandle::Source);
}

BOOL ReportEventA(HANDLE handle, WORD type, WORD category, DWORD eventId, PSID userSid,
                  WORD numStrings, DWORD dataSize, const char** strings, const void* rawData) {
    auto log = Find(handle, LogHandle::Source);
    if (!log) return Fail(ERROR_INVALID_HANDLE);
    if ((numStrings > 0 && !strings) || (dataSize > 0 && !rawData))
        return Fail(ERROR_INVALID_PARAMETER);
    eventlog::RecordFields fields;
    fields.timeGenerated = fields.timeWritten = clock_.load()();
    fields.eventId = eventId;
    fields.type = type;
    fields.category = category;
    fields.source = log->source;
    fields.computer = HostName();
    if (userSid) {
        const auto* sid = static_cast<const std::uint8_t*>(userSid);
        // Revision 1 with at most 15 parts, as every valid SID; its length
        // comes from the part count, so a count beyond that is never followed.
        if (sid[0] != 1 || sid[1] > 15) return Fail(ERROR_INVALID_PARAMETER);
        fields.userSid.assign(reinterpret_cast<const char*>(sid), 8u + 4u * sid[1]);
    }
    for (WORD i = 0; i < numStrings; ++i) fields.strings.emplace_back(strings[i] ? strings[i] : "");
    if (dataSize > 0) fields.data.assign(static_cast<const char*>(rawData), dataSize);

    std::lock_guard lock(log->mutex);
    if (!Append(*log, fields)) return FALSE;
    SendToSyslog(*log, fields);
    return TRUE;
}

}  // namespace zr::os
