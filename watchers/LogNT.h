// The NT event log component: while active it holds an open event log and
// reads its records one at a time by index (0 = the oldest), exposes the
// fields of the record last read and composes its message text from the
// message files its source registered; whether active or not it writes
// entries to the event log. Its own log file (WriteAsString) is the base's,
// unrelated to the event log. It has no events.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "../core/LogBase.h"
#include "../framework/DateUtils.h"
#include "../platform/EventLog.h"

namespace zr {

class TKVNTEventLog : public TKVLogBase {
    ZR_CLASS(TKVNTEventLog, TKVLogBase)
  public:
    // Log "Application", Server and Source empty, inactive.
    explicit TKVNTEventLog(TComponent* owner);
    // Closes the event log.
    ~TKVNTEventLog() override;

    void Open() { SetActive(true); }
    void Close() { SetActive(false); }
    // True opens the log named by Log on Server; a failure raises EOSError
    // (RaiseLastWin32Error) and leaves Active False. False closes it and
    // drops the record held. In the designer only the flag changes.
    void SetActive(bool value) override;

    // Changing any of the three while active closes and reopens the log.
    const std::string& Server() const { return server_; }
    void SetServer(const std::string& value);
    // The source under which WriteToEventLog writes.
    const std::string& Source() const { return source_; }
    void SetSource(const std::string& value);
    // The log that is opened, and under which a record's source finds its
    // message files.
    const std::string& Log() const { return log_; }
    void SetLog(const std::string& value);
    // Public, not published: nothing in the component sets it.
    bool ReadBackwards() const { return readBackwards_; }
    void SetReadBackwards(bool value) { readBackwards_ = value; }

    os::HANDLE EventLogHandle() const { return eventLogHandle_; }
    // The index of the record held, -2 for none.
    std::int32_t CurrentRecord() const { return currentRecord_; }

    // Records in the open log; 0 when not active (or active in the designer).
    std::uint32_t GetEventCount();
    // Reads record oldest + index; a failure raises EOSError and keeps the
    // record held before.
    void SeekRecord(std::uint32_t index);
    // SeekRecord unless that index is the record held already.
    void ReadEvent(std::uint32_t index);

    // The fields of the record last read. Before any record is held they
    // are empty, 0 and null.
    std::string GetEventSource() const;
    std::string GetEventComputer() const;
    std::uint32_t GetEventID() const;
    std::uint16_t GetEventStringCount() const;
    // Inside the record, valid until the next read or closing; null when the
    // record has no user SID.
    const void* GetEventSID() const;
    std::uint16_t GetEventType() const;
    // Insertion string `index` (0-based); "" at or past GetEventStringCount.
    std::string GetEventString(std::uint32_t index) const;
    // When the record was generated, in UTC, not converted to local time.
    TDateTime GetEventTime() const;
    // The record's text from the first message file that the source's
    // registry value "EventMessageFile" names and that holds the message;
    // "" when none does. Never raises for missing keys, files or messages.
    std::string GetEventMessageText() const;

    // Writes one entry of Source with `text` as its one insertion string
    // (at most 511 bytes of it); does nothing when the source cannot be
    // registered.
    void WriteToEventLog(const std::string& text, std::uint16_t eventType, std::uint32_t category,
                         std::uint32_t eventID);

  private:
    const os::EVENTLOGRECORD* Record() const;
    // The record's name that follows the fixed part (0: source, 1: computer).
    std::string RecordName(int which) const;
    std::vector<const char*> InsertionStrings() const;
    // Closes, stores the value and reopens when it was active.
    void Reopen(std::string& field, const std::string& value);

    os::HANDLE eventLogHandle_ = nullptr;
    std::string log_ = "Application";
    std::string server_;
    std::string source_;
    bool readBackwards_ = false;
    std::int32_t currentRecord_ = -2;
    std::vector<std::uint8_t> recordBuffer_;
};

}  // namespace zr
