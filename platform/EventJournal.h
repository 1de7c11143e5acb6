// The journal copy of an event log entry, and the journal catalog that
// explains a source's entries.
//
// An entry's fields: MESSAGE (its text as EventEntryText gives it, with line
// breaks as JournalText makes them), PRIORITY (error 3, warning 4, information and success
// 6, audit success 5, audit failure 4), SYSLOG_IDENTIFIER (the source),
// MESSAGE_ID (EventMessageId), and ZR_LOG, ZR_EVENT_ID (decimal, the full
// identifier), ZR_EVENT_TYPE (EventTypeName), ZR_CATEGORY, ZR_RECORD_NUMBER
// (its number in the store), one ZR_INSERT per insertion string in order,
// ZR_USER_SID (as S-1-...) when the entry names a user, ZR_DATA (the raw
// data's bytes) when it has some.
#pragma once

#include <string>
#include <string_view>

#include "EventLog.h"
#include "EventLogFile.h"
#include "EventMessageText.h"
#include "Journal.h"

namespace zr::os::eventlog {

// The MESSAGE_ID of `source`'s event `eventId`, the same on every machine:
// the name-based (version 5, SHA-1) identifier in the namespace
// bd129010-b762-45ab-a6ba-69849a334d29 of the name "<source>/<eventId>",
// the source in ASCII lower case (source names compare without regard to
// case) and the full event identifier in decimal; 32 lowercase hex digits.
std::string EventMessageId(std::string_view source, DWORD eventId);

TJournalPriority EventPriority(WORD type);

// The journal entry of the record `fields` appended to `logName`, whose text
// is `text`.
TJournalEntry EventJournalEntry(const std::string& logName, const RecordFields& fields,
                                const std::string& text);

// Sends the entry of a record just appended to `logName`, with its text from
// the source's message files (`messages`, the source's); false when no
// journal took it (see SendToJournal). The text is looked up only when a
// journal is listening.
bool SendEventToJournal(const std::string& logName, const RecordFields& fields,
                        TSourceMessages& messages);

// A journal catalog for `source`'s entries in `logName`: one entry per
// message of its message files (the first file that holds an identifier
// gives its text), keyed by EventMessageId, with a Subject line (the source,
// the event id and the text's first line) and the text. False with nothing
// in `catalog` when the source names no message file that can be read.
bool EventCatalog(const std::string& logName, const std::string& source, std::string& catalog);

}  // namespace zr::os::eventlog
