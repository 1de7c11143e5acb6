#include "platform/EventLog.h"

#include <pthread.h>
#include <strings.h>
#include <syslog.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <ctime>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "platform/EventJournal.h"
#include "platform/EventLogStore.h"
#include "platform/Registry.h"

namespace zr::os {

namespace {

using eventlog::LogAccess;
using eventlog::RecordSpot;

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

struct LogHandle {
    enum Kind { Reader, Source } kind;
    eventlog::OpenLog* file = nullptr;
    std::string logName;
    std::string source;  // Source handles
    // The source's message files, for the journal copies of its entries.
    std::unique_ptr<TSourceMessages> messages;
    std::mutex mutex;
    DWORD nextRecord = 0;  // of a sequential read; 0 before the first read
};

// The position of a sequential read that has read the oldest record backwards.
constexpr DWORD PastTheEnd = 0xFFFFFFFF;

std::mutex tableMutex;
std::map<HANDLE, std::shared_ptr<LogHandle>> table;

// Around a fork every lock of the event log calls is held by the forking
// thread (the handle table's, each handle's, then the store's, in the
// order the calls take them), so that the child inherits none held by a
// thread it does not have: the child's calls work as the parent's do.
void HoldForFork() {
    tableMutex.lock();
    for (auto& [key, handle] : table) handle->mutex.lock();
    eventlog::HoldForFork();
}

void ReleaseAfterFork() {
    eventlog::ReleaseAfterFork();
    for (auto& [key, handle] : table) handle->mutex.unlock();
    tableMutex.unlock();
}

[[maybe_unused]] const bool forkSafe =
    ::pthread_atfork(&HoldForFork, &ReleaseAfterFork, &ReleaseAfterFork) == 0;

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
    if (!IsUsableLogName(handle->logName) ||
        (kind == LogHandle::Source && handle->source.empty())) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    privstore::TStoreLocation where;
    if (DWORD status = eventlog::LocateEventLogStore(where); status != ERROR_SUCCESS) {
        SetLastError(status);
        return nullptr;
    }
    handle->file = &eventlog::OpenLogOf(where, handle->logName);
    return Enter(std::move(handle));
}

// Runs `use(LogAccess&)` with the log brought up to date; FALSE with the
// error set when it cannot be read or `use` fails.
template <typename Use>
BOOL WithLog(LogHandle& log, Use use, DWORD knownRecord = 0) {
    LogAccess access(*log.file, knownRecord);
    if (access.Error() != ERROR_SUCCESS) return Fail(access.Error());
    const DWORD status = use(access);
    return status == ERROR_SUCCESS ? TRUE : Fail(status);
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

// A record is not where the index says: the file was rewritten behind the
// store's back.
constexpr DWORD Stale = 0xFFFFFFFF;

// The first record a read returns, or none with the reason in `error`.
std::optional<RecordSpot> FirstToRead(const LogHandle& log, LogAccess& access, DWORD flags,
                                      DWORD recordOffset, DWORD& error) {
    eventlog::LogIndex& index = access.Index();
    const bool backwards = flags & EVENTLOG_BACKWARDS_READ;
    if (flags & EVENTLOG_SEEK_READ) {
        if (recordOffset == 0 || recordOffset < index.Oldest() || recordOffset > index.Newest()) {
            error = ERROR_INVALID_PARAMETER;
            return std::nullopt;
        }
        auto spot = index.Find(access.Reader(), recordOffset);
        if (!spot) error = ERROR_EVENTLOG_FILE_CORRUPT;
        return spot;
    }
    DWORD next = log.nextRecord;
    if (next == 0) next = backwards ? index.Newest() : index.Oldest();
    std::optional<RecordSpot> spot;
    if (next != PastTheEnd && next != 0) spot = index.Nearest(access.Reader(), next, backwards);
    if (!spot) error = ERROR_HANDLE_EOF;
    return spot;
}

// Copies the records a read asks for, as ReadEventLogA describes.
DWORD CopyRecords(LogHandle& log, LogAccess& access, DWORD flags, DWORD recordOffset, void* buffer,
                  DWORD bytesToRead, DWORD* bytesRead, DWORD* bytesNeeded) {
    *bytesRead = 0;
    DWORD error = ERROR_SUCCESS;
    std::optional<RecordSpot> spot = FirstToRead(log, access, flags, recordOffset, error);
    if (!spot) return error;
    eventlog::LogIndex& index = access.Index();
    const bool backwards = flags & EVENTLOG_BACKWARDS_READ;
    auto* out = static_cast<std::uint8_t*>(buffer);
    DWORD last = 0;
    while (spot) {
        if (*bytesRead + static_cast<std::uint64_t>(spot->length) > bytesToRead) {
            if (*bytesRead > 0) break;
            *bytesNeeded = spot->length;
            return ERROR_INSUFFICIENT_BUFFER;
        }
        std::uint8_t* at = out + *bytesRead;
        if (!access.Reader().Read(spot->offset, spot->length, at) ||
            !eventlog::RecordChecksOut(at, spot->length, spot->number))
            return Stale;
        *bytesRead += spot->length;
        last = spot->number;
        const bool atEnd = backwards ? last <= index.Oldest() : last >= index.Newest();
        if (bytesToRead - *bytesRead < eventlog::MinRecordSize) break;
        spot = atEnd ? std::nullopt
                     : index.Nearest(access.Reader(), backwards ? last - 1 : last + 1, backwards);
    }
    log.nextRecord = backwards ? (last <= 1 ? PastTheEnd : last - 1) : last + 1;
    return ERROR_SUCCESS;
}

// The entry's copy for whoever reads the system's log: the journal's entry
// with its fields when a journal listens, else one syslog line.
void CopyToSystemLog(LogHandle& log, const eventlog::RecordFields& fields) {
    if (!log.messages) log.messages = std::make_unique<TSourceMessages>(log.logName, log.source);
    if (eventlog::SendEventToJournal(log.logName, fields, *log.messages)) return;
    std::string text;
    for (const auto& s : fields.strings) text += (text.empty() ? "" : " ") + s;
    ::syslog(LOG_USER | static_cast<int>(eventlog::EventPriority(fields.type)),
             "%s (%s log, event %u): %s", fields.source.c_str(), log.logName.c_str(),
             fields.eventId, text.c_str());
}

}  // namespace

std::string EventLogStoreFolder() {
    privstore::TStoreLocation where;
    return eventlog::LocateEventLogStore(where) == ERROR_SUCCESS ? where.Path() : "";
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
    return WithLog(*log, [&](LogAccess& access) {
        const eventlog::LogIndex& index = access.Index();
        *count = index.Empty() ? 0 : index.Newest() - index.Oldest() + 1;
        return ERROR_SUCCESS;
    });
}

BOOL GetOldestEventLogRecord(HANDLE handle, DWORD* number) {
    auto log = Find(handle, LogHandle::Reader);
    if (!log) return Fail(ERROR_INVALID_HANDLE);
    if (!number) return Fail(ERROR_INVALID_PARAMETER);
    std::lock_guard lock(log->mutex);
    return WithLog(*log, [&](LogAccess& access) {
        *number = access.Index().Oldest();
        return ERROR_SUCCESS;
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
    return WithLog(
        *log,
        [&](LogAccess& access) {
            DWORD status = CopyRecords(*log, access, flags, recordOffset, buffer, bytesToRead,
                                       bytesRead, bytesNeeded);
            if (status == Stale) {
                if (DWORD rebuilt = access.Rebuild(); rebuilt != ERROR_SUCCESS) return rebuilt;
                status = CopyRecords(*log, access, flags, recordOffset, buffer, bytesToRead,
                                     bytesRead, bytesNeeded);
                if (status == Stale) status = ERROR_EVENTLOG_FILE_CORRUPT;
            }
            return status;
        },
        flags & EVENTLOG_SEEK_READ ? recordOffset : log->nextRecord);
}

std::string LogOfEventSource(const std::string& source) {
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

HANDLE RegisterEventSourceA(const char* server, const char* source) {
    if (!IsLocalServer(server)) {
        SetLastError(RPC_S_SERVER_UNAVAILABLE);
        return nullptr;
    }
    if (!source || !*source) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return RegisterEventSourceInLogA(server, LogOfEventSource(source).c_str(), source);
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
    if (DWORD status = eventlog::AppendRecord(*log->file, fields); status != ERROR_SUCCESS)
        return Fail(status);
    CopyToSystemLog(*log, fields);
    return TRUE;
}

}  // namespace zr::os
