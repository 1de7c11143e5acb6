// The log files of the event log store as this process holds them: each log
// file is opened once and kept open, with what was read of it, shared by all
// handles of the process; every call checks cheaply (size, inode, change
// time) that the file is still the one that was read.
//
// The store is the user's alone: its folders are made 0700 and its files
// 0600, a link or anything but a regular file where a log file belongs is
// refused, and a lock another process holds is waited for a bounded time
// (ERROR_LOCK_VIOLATION after it).
#pragma once

#include <chrono>
#include <string>

#include "EventLogFile.h"
#include "EventLogIndex.h"
#include "PrivateStore.h"

namespace zr::os::eventlog {

// Where the store is now ($ZORIRIVE_EVENTLOG, else the user's state folder);
// an error when the user has no home folder.
DWORD LocateEventLogStore(privstore::TStoreLocation& where);

struct OpenLog;
// The log `logName` of the store at `where`, the same for every handle of the
// process that names it (names compare without regard to ASCII case).
OpenLog& OpenLogOf(const privstore::TStoreLocation& where, const std::string& logName);

// Appends a record numbered next in the log (fields.number is set), cutting
// off an incomplete record a killed writer left first. Nothing else (no copy
// to syslog): this is the store's own cost of an append.
DWORD AppendRecord(OpenLog& log, RecordFields& fields);

// The log's records brought up to date, held for this thread while it lives.
// A log that has no file yet is empty.
//
// A read that begins at a record the log is known to hold (`knownRecord`) is
// served from what was read when the file was checked less than a
// millisecond ago, without checking again: the store only ever appends, so a
// record once read stays as it was; only a rewrite behind the store's back
// within that millisecond is seen late (at the next check). Anything else
// (0: counts, the first read, a read past the newest record) checks first.
class LogAccess {
  public:
    explicit LogAccess(OpenLog& log, DWORD knownRecord = 0);
    ~LogAccess();
    LogAccess(const LogAccess&) = delete;
    LogAccess& operator=(const LogAccess&) = delete;
    // Why the log could not be read; ERROR_SUCCESS when it can.
    DWORD Error() const { return error_; }
    FileReader& Reader();
    LogIndex& Index();
    // Reads the file afresh: a record was not where the index said, so the
    // file was rewritten behind the store's back.
    DWORD Rebuild();

  private:
    OpenLog& log_;
    DWORD error_;
};

// Takes every lock of the logs this process holds open, and lets them go
// again: around a fork, so that the child inherits none that a thread it
// does not have was holding (it would wait for it for ever).
void HoldForFork();
void ReleaseAfterFork();

// How long a call waits for another process's lock (tests shorten it).
void SetLockWait(std::chrono::milliseconds wait);

}  // namespace zr::os::eventlog
