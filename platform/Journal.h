// Entries for the system journal, sent natively: one datagram of NAME=value
// fields to the journal's socket, each field kept as given (a value may hold
// line breaks and any bytes). The process keeps one socket connected to the
// journal; an entry too large for a datagram goes through libsystemd's
// sender. Nothing is sent to a journal that is not there: SendToJournal
// reports false when no journal listens or it does not take the entry, and
// a caller that must not lose the entry keeps a fallback of its own.
//
// Field names are the caller's: [A-Z0-9_], at most 64 characters, not
// beginning with a digit or "_" (those are the journal's own); a name may
// repeat. The code location is the caller's to give (CODE_FILE, CODE_LINE,
// CODE_FUNC); none is added.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace zr::os {

// Syslog priorities, as the journal's PRIORITY field takes them.
enum class TJournalPriority : int {
    Error = 3,
    Warning = 4,
    Notice = 5,
    Info = 6,
};

class TJournalEntry {
  public:
    TJournalEntry& Add(std::string_view name, std::string_view value);
    TJournalEntry& Add(std::string_view name, std::uint64_t value);
    TJournalEntry& Add(std::string_view name, TJournalPriority priority);
    // The fields of `more` after these.
    TJournalEntry& Append(const TJournalEntry& more);
    // "NAME=value", in the order added.
    const std::vector<std::string>& Fields() const { return fields_; }

  private:
    std::vector<std::string> fields_;
};

// A text as the journal's readers expect it: CR LF and a lone CR become LF,
// line breaks at the end go.
std::string JournalText(std::string_view text);

// Where the journal listens (the same inside a mount namespace of its own,
// where this path is that namespace's journal).
inline constexpr const char* JournalSocketPath = "/run/systemd/journal/socket";

// A journal listens (this process is connected to it, or a socket is at
// JournalSocketPath): a cheap test before composing an entry.
bool JournalListening();

// Sends `entry` to the journal. False when no journal is listening or it did
// not take the datagram (a socket left behind by a journal that is gone): the
// entry did not go anywhere, and the caller falls back.
bool SendToJournal(const TJournalEntry& entry);

}  // namespace zr::os
