// The file of one log in the event log store: composing a record, checking
// one that was read back, and finding the whole records of a file (see
// EventLog.h for the layout and how writers and readers share a file).
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/EventLog.h"

namespace zr::os::eventlog {

// No record is larger; a larger Length is taken for damage, not a record.
constexpr DWORD MaxRecordSize = 0x80000;
// The fixed part, two empty names padded to 4 bytes, and the closing length.
constexpr DWORD MinRecordSize = sizeof(EVENTLOGRECORD) + 4 + 4;

struct RecordFields {
    DWORD number = 0;
    DWORD timeGenerated = 0;
    DWORD timeWritten = 0;
    DWORD eventId = 0;
    WORD type = 0;
    WORD category = 0;
    std::string source;
    std::string computer;
    std::string userSid;  // binary, may be empty
    std::vector<std::string> strings;
    std::string data;
};

// The record's bytes; empty when it would be larger than MaxRecordSize.
std::vector<std::uint8_t> ComposeRecord(const RecordFields& fields);

// Whether `size` bytes at `record` are one whole record numbered `number`
// whose names, SID, strings and data all lie inside it, so that a reader may
// follow every offset without further checks.
bool RecordChecksOut(const std::uint8_t* record, std::size_t size, DWORD number);

// What is known of a log file: where its whole records begin. Scan extends it
// over the records appended since it last looked.
struct FileIndex {
    dev_t device = 0;
    ino_t inode = 0;
    off_t validEnd = 0;          // the end of the last whole record
    std::vector<off_t> offsets;  // offsets[n - 1]: record number n
    DWORD Count() const { return static_cast<DWORD>(offsets.size()); }
};

// Reads on from index.validEnd while records check out; starts over when the
// file is another one or was cut shorter. The caller holds a lock on `fd`.
// False (errno set) when the file cannot be read at all.
bool Scan(int fd, FileIndex& index);

// Reads record `number` (1-based, known to the index) into `out`.
bool ReadRecord(int fd, const FileIndex& index, DWORD number, std::vector<std::uint8_t>& out);

}  // namespace zr::os::eventlog
