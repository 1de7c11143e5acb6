// A record of a log in the event log store: composing one, and checking one
// that was read back (see EventLog.h for the layout).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "EventLog.h"

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
// (see RecordIsWhole).
bool RecordChecksOut(const std::uint8_t* record, std::size_t size, DWORD number);

// Whether `size` bytes at `record` are one whole record, whatever its number:
// the same length at both ends, the signature, and names, SID, strings and
// data all inside it, so that a reader may follow every offset without
// further checks.
bool RecordIsWhole(const std::uint8_t* record, std::size_t size);

}  // namespace zr::os::eventlog
