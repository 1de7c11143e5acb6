// The event log calls, kept on disk in a store that several processes share
// and a person can inspect:
//
//   <store>/Application.evtlog     one file per log, records one after another
//
// The store is $ZORIRIVE_EVENTLOG when set, else $XDG_STATE_HOME/zoririve/eventlog
// ($XDG_STATE_HOME defaults to ~/.local/state; with HOME unset the home folder
// comes from the password database, and without one a handle cannot be
// opened); it is looked up at each open. It is its user's alone: folders the
// store makes are 0700, log files 0600, and a link, a FIFO or a device where a
// log file belongs is refused (ERROR_ACCESS_DENIED).
// Log names compare without regard to ASCII case; a file keeps the spelling
// its log was first written with. A log that has no file yet reads as empty.
//
// Each record has the published EVENTLOGRECORD layout: the fixed part below,
// the source name and the computer name (each zero-terminated), the user SID
// (aligned to 4 bytes), the insertion strings (each zero-terminated), the raw
// data, padding to a multiple of 4, and the record's length once more as its
// last 4 bytes. Records are numbered from 1 in file order.
//
// A writer takes an exclusive lock on the file and appends one whole record
// with one write; a reader that finds the file changed takes a shared lock
// to read what changed. A lock another process holds is waited for a few
// seconds, then the call fails with ERROR_LOCK_VIOLATION.
//
// A record that does not check out (wrong length at either end, wrong
// signature, names or strings running past its end) is skipped by readers:
// the next record that checks out at both ends follows it, and records keep
// their numbers, so a seek to the damaged one fails with
// ERROR_EVENTLOG_FILE_CORRUPT. Only an incomplete last record, which a killed
// writer left (its length runs past the end of the file), is cut off, by the
// next writer; nothing else is ever cut, and a damaged last record keeps its
// number. Reading any file, however damaged, costs about one read of it; a
// writer reads what it has not seen before it takes the write lock.
//
// A child of fork may use the calls and the handles its parent opened, even
// when another thread of the parent was inside a call at the fork.
//
// Each entry written is also sent to the system journal with its fields
// (EventJournal.h) when a journal is listening, else to syslog as one line
// ("<source> (<log> log, event <id>): <insertion strings>"). The store keeps
// every entry either way.
#pragma once

#include <cstdint>
#include <string>

#include "LastError.h"
#include "Sync.h"

namespace zr::os {

using WORD = std::uint16_t;
using PSID = void*;

// EventType values.
constexpr WORD EVENTLOG_SUCCESS = 0x0000;
constexpr WORD EVENTLOG_ERROR_TYPE = 0x0001;
constexpr WORD EVENTLOG_WARNING_TYPE = 0x0002;
constexpr WORD EVENTLOG_INFORMATION_TYPE = 0x0004;
constexpr WORD EVENTLOG_AUDIT_SUCCESS = 0x0008;
constexpr WORD EVENTLOG_AUDIT_FAILURE = 0x0010;

// ReadEventLogA flags: one of the first two with one of the last two.
constexpr DWORD EVENTLOG_SEQUENTIAL_READ = 0x0001;
constexpr DWORD EVENTLOG_SEEK_READ = 0x0002;
constexpr DWORD EVENTLOG_FORWARDS_READ = 0x0004;
constexpr DWORD EVENTLOG_BACKWARDS_READ = 0x0008;

// A seek to a record whose bytes are damaged.
constexpr DWORD ERROR_EVENTLOG_FILE_CORRUPT = 1500;

// "LfLe", the Reserved field of every record.
constexpr DWORD ELF_LOG_SIGNATURE = 0x654c664c;

struct EVENTLOGRECORD {
    DWORD Length;  // of the whole record, also stored as its last 4 bytes
    DWORD Reserved;
    DWORD RecordNumber;
    DWORD TimeGenerated;  // seconds since 1970-01-01 00:00:00 UTC
    DWORD TimeWritten;
    DWORD EventID;
    WORD EventType;
    WORD NumStrings;
    WORD EventCategory;
    WORD ReservedFlags;
    DWORD ClosingRecordNumber;
    DWORD StringOffset;  // offsets count from the record's start
    DWORD UserSidLength;
    DWORD UserSidOffset;
    DWORD DataLength;
    DWORD DataOffset;
};
static_assert(sizeof(EVENTLOGRECORD) == 56);

// Opens a log for reading. `server` null, empty, ".", "localhost" or this
// host's name (with or without a leading "\\") is the local computer; any
// other fails with RPC_S_SERVER_UNAVAILABLE, as an unreachable server does. A
// null or empty `logName` is the Application log; a name that cannot be a
// file name ("/" in it, "." or "..") fails with ERROR_INVALID_PARAMETER.
// Null on failure.
HANDLE OpenEventLogA(const char* server, const char* logName);
BOOL CloseEventLog(HANDLE log);
// Records in the log now: newest number - oldest number + 1 (a damaged
// record between them counts).
BOOL GetNumberOfEventLogRecords(HANDLE log, DWORD* count);
// The number of the oldest whole record; 0 for an empty log.
BOOL GetOldestEventLogRecord(HANDLE log, DWORD* number);
// Copies as many whole records as fit into `buffer`, beginning with record
// `recordOffset` (EVENTLOG_SEEK_READ) or with the one after the last read in
// the direction asked (EVENTLOG_SEQUENTIAL_READ; the first sequential read
// begins at the oldest record forwards, at the newest backwards). When not even
// the first fits: ERROR_INSUFFICIENT_BUFFER with its size in `*bytesNeeded`.
// A seek to a number that is no record: ERROR_INVALID_PARAMETER; a sequential
// read past the last record: ERROR_HANDLE_EOF. Sequential reads step over
// damaged records.
BOOL ReadEventLogA(HANDLE log, DWORD flags, DWORD recordOffset, void* buffer, DWORD bytesToRead,
                   DWORD* bytesRead, DWORD* bytesNeeded);

// A handle for writing entries of `source`. The log written to is the one
// whose registry key names the source (HKEY_LOCAL_MACHINE, key
// SYSTEM\CurrentControlSet\Services\EventLog\<log>\<source>), else Application. Null on failure
// (a remote server, as OpenEventLogA; an empty source name).
HANDLE RegisterEventSourceA(const char* server, const char* source);
// The log whose registry key names `source` (as above), else "Application".
std::string LogOfEventSource(const std::string& source);
// The same for a log named by the caller.
HANDLE RegisterEventSourceInLogA(const char* server, const char* logName, const char* source);
BOOL DeregisterEventSource(HANDLE source);
// Appends one record. A null `userSid` records no SID (UserSidLength 0); a
// caller that wants its user named passes CurrentUserSid(). The time
// generated and written is now.
BOOL ReportEventA(HANDLE source, WORD type, WORD category, DWORD eventId, PSID userSid,
                  WORD numStrings, DWORD dataSize, const char** strings, const void* rawData);

// The SID of the user running this process, S-1-22-1-<uid>, in its binary
// form (16 bytes).
std::string CurrentUserSid();
// "S-1-22-1-1000" for a binary SID of `length` bytes; "" when it is none.
std::string SidToString(const void* sid, DWORD length);

// The store in use now (see above); "" when the user has no home folder.
std::string EventLogStoreFolder();

// The clock that stamps new records, seconds since 1970 (tests stage a fixed
// time with it); null restores the system clock. Returns the one before.
using EventLogClock = DWORD (*)();
EventLogClock SetEventLogClock(EventLogClock clock);

}  // namespace zr::os
