// The text of an event log entry as people read it, shared by everything that
// shows an entry (the NT event log component, zrevent list, the journal copy
// of a new entry): the message that the source's message files hold for its
// event id, with the insertion strings put in.
//
// A source names its message files in the registry value EventMessageFile
// (HKEY_LOCAL_MACHINE, SYSTEM\CurrentControlSet\Services\EventLog\<log>\<source>):
// file names separated by ";", each of which may hold %VARIABLE%s. The first
// file that holds the message gives the text.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "EventLog.h"

namespace zr::os {

// The registry value that names `source`'s message files under `logName`;
// "" when there is none or it is no string.
std::string EventMessageFiles(const std::string& logName, const std::string& source);

// The file names of such a value, each with its %VARIABLE%s expanded; a name
// whose expansion does not fit a path of 260 characters is left out.
std::vector<std::string> SplitMessageFiles(const std::string& files);

// The message files of one source, loaded when first asked and looked up
// again once they are a second old: a handle that writes many entries reads
// the registry and its files about once a second, not once an entry, and a
// registration or a file changed in the meantime is seen within a second.
class TSourceMessages {
  public:
    TSourceMessages(std::string logName, std::string source);
    ~TSourceMessages();
    TSourceMessages(const TSourceMessages&) = delete;
    TSourceMessages& operator=(const TSourceMessages&) = delete;

    // As EventMessageText.
    std::string Text(DWORD eventId, const std::vector<const char*>& strings);
    // As EventEntryText.
    std::string EntryText(DWORD eventId, const std::vector<const char*>& strings);

  private:
    void Load();
    void Unload();

    std::string logName_;
    std::string source_;
    std::vector<void*> modules_;  // loaded message files, in their order
    std::chrono::steady_clock::time_point loaded_;
    bool everLoaded_ = false;
};

// The message's text from the first of `source`'s message files that holds
// `eventId`, with `strings` put in for %1, %2, ...; the line break that ends
// a message file's text is cut. "" when no file holds it. Never fails for
// missing keys, files or messages.
std::string EventMessageText(const std::string& logName, const std::string& source, DWORD eventId,
                             const std::vector<const char*>& strings);

// The message text, else (no message file holds the event) the insertion
// strings joined by single spaces.
std::string EventEntryText(const std::string& logName, const std::string& source, DWORD eventId,
                           const std::vector<const char*>& strings);

// "error", "warning", "information", "success", "audit success",
// "audit failure", else "type <n>".
std::string EventTypeName(WORD type);

}  // namespace zr::os
