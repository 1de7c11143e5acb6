#include "watchers/LogNT.h"

#include <algorithm>
#include <cstring>

#include "framework/Exceptions.h"
#include "framework/TypeInfo.h"
#include "platform/EventMessageText.h"

namespace zr {

// None of the three has a declared default, so each is always stored.
ZR_REGISTER_CLASS(TKVNTEventLog, c) {
    c.Property("Server", &TKVNTEventLog::Server, &TKVNTEventLog::SetServer);
    c.Property("Source", &TKVNTEventLog::Source, &TKVNTEventLog::SetSource);
    c.Property("Log", &TKVNTEventLog::Log, &TKVNTEventLog::SetLog);
}

namespace {

constexpr os::DWORD SeekFlags = os::EVENTLOG_SEEK_READ;
constexpr std::size_t WriteBufferSize = 512;

const char* ServerName(const std::string& server) {
    return server.empty() ? nullptr : server.c_str();
}

}  // namespace

TKVNTEventLog::TKVNTEventLog(TComponent* owner) : TKVLogBase(owner) {
    // The base constructor's SetActive(false) ran the base version; Active
    // was False already, so this class's would have done nothing either.
}

TKVNTEventLog::~TKVNTEventLog() {
    Close();
}

void TKVNTEventLog::SetActive(bool value) {
    if (value == Active()) return;
    if (!IsDesigning()) {
        if (value) {
            // Opens the log that Log names, the one whose sources' message
            // files GetEventMessageText looks up.
            eventLogHandle_ = os::OpenEventLogA(ServerName(server_), log_.c_str());
            if (!eventLogHandle_) RaiseLastWin32Error();
            currentRecord_ = -2;
        } else {
            if (eventLogHandle_) {
                os::CloseEventLog(eventLogHandle_);
                eventLogHandle_ = nullptr;
            }
            std::vector<std::uint8_t>().swap(recordBuffer_);
        }
    }
    inherited::SetActive(value);
}

void TKVNTEventLog::Reopen(std::string& field, const std::string& value) {
    if (value == field) return;
    const bool wasActive = Active();
    SetActive(false);
    field = value;
    SetActive(wasActive);
}

void TKVNTEventLog::SetServer(const std::string& value) {
    Reopen(server_, value);
}

void TKVNTEventLog::SetSource(const std::string& value) {
    Reopen(source_, value);
}

void TKVNTEventLog::SetLog(const std::string& value) {
    Reopen(log_, value);
}

std::uint32_t TKVNTEventLog::GetEventCount() {
    os::DWORD count = 0;
    if (Active() && !os::GetNumberOfEventLogRecords(eventLogHandle_, &count)) return 0;
    return count;
}

void TKVNTEventLog::SeekRecord(std::uint32_t index) {
    os::DWORD oldest = 0;
    os::GetOldestEventLogRecord(eventLogHandle_, &oldest);
    const os::DWORD flags =
        SeekFlags | (readBackwards_ ? os::EVENTLOG_BACKWARDS_READ : os::EVENTLOG_FORWARDS_READ);
    os::DWORD read = 0, needed = 0;
    if (os::ReadEventLogA(eventLogHandle_, flags, oldest + index, nullptr, 0, &read, &needed))
        return;  // no record is that small; nothing to hold
    if (os::GetLastError() != os::ERROR_INSUFFICIENT_BUFFER) RaiseLastWin32Error();
    if (recordBuffer_.size() < needed) recordBuffer_.resize(needed);
    if (!os::ReadEventLogA(eventLogHandle_, flags, oldest + index, recordBuffer_.data(), needed,
                           &read, &needed))
        RaiseLastWin32Error();
    currentRecord_ = static_cast<std::int32_t>(index);
}

void TKVNTEventLog::ReadEvent(std::uint32_t index) {
    if (static_cast<std::int64_t>(index) != static_cast<std::int64_t>(currentRecord_))
        SeekRecord(index);
}

const os::EVENTLOGRECORD* TKVNTEventLog::Record() const {
    if (currentRecord_ == -2 || recordBuffer_.size() < sizeof(os::EVENTLOGRECORD)) return nullptr;
    // The store checked every offset of the record before handing it out.
    return reinterpret_cast<const os::EVENTLOGRECORD*>(recordBuffer_.data());
}

std::string TKVNTEventLog::RecordName(int which) const {
    if (!Record()) return "";
    const char* name =
        reinterpret_cast<const char*>(recordBuffer_.data()) + sizeof(os::EVENTLOGRECORD);
    if (which == 1) name += std::strlen(name) + 1;
    return name;
}

std::string TKVNTEventLog::GetEventSource() const {
    return RecordName(0);
}

std::string TKVNTEventLog::GetEventComputer() const {
    return RecordName(1);
}

std::uint32_t TKVNTEventLog::GetEventID() const {
    return Record() ? Record()->EventID : 0;
}

std::uint16_t TKVNTEventLog::GetEventStringCount() const {
    return Record() ? Record()->NumStrings : 0;
}

const void* TKVNTEventLog::GetEventSID() const {
    const auto* record = Record();
    if (!record || record->UserSidLength == 0) return nullptr;
    return recordBuffer_.data() + record->UserSidOffset;
}

std::uint16_t TKVNTEventLog::GetEventType() const {
    return Record() ? Record()->EventType : 0;
}

std::vector<const char*> TKVNTEventLog::InsertionStrings() const {
    std::vector<const char*> strings;
    const auto* record = Record();
    if (!record) return strings;
    const char* at = reinterpret_cast<const char*>(recordBuffer_.data()) + record->StringOffset;
    for (std::uint16_t i = 0; i < record->NumStrings; ++i) {
        strings.push_back(at);
        at += std::strlen(at) + 1;
    }
    return strings;
}

std::string TKVNTEventLog::GetEventString(std::uint32_t index) const {
    const auto strings = InsertionStrings();
    return index < strings.size() ? strings[index] : "";
}

TDateTime TKVNTEventLog::GetEventTime() const {
    const os::DWORD seconds = Record() ? Record()->TimeGenerated : 0;
    return EncodeDate(1970, 1, 1) + seconds / 86400.0;
}

std::string TKVNTEventLog::GetEventMessageText() const {
    if (!Record()) return "";
    return os::EventMessageText(log_, GetEventSource(), GetEventID(), InsertionStrings());
}

void TKVNTEventLog::WriteToEventLog(const std::string& text, std::uint16_t eventType,
                                    std::uint32_t category, std::uint32_t eventID) {
    os::HANDLE source = os::RegisterEventSourceA(ServerName(server_), source_.c_str());
    if (!source) return;
    // The text goes out through a buffer of 512 characters: longer text is
    // cut, never written past it, and not in the middle of a UTF-8 sequence.
    char buffer[WriteBufferSize];
    std::size_t length = std::min(text.size(), WriteBufferSize - 1);
    if (length < text.size())
        while (length > 0 && (static_cast<unsigned char>(text[length]) & 0xC0) == 0x80) --length;
    std::memcpy(buffer, text.data(), length);
    buffer[length] = '\0';
    const char* strings[] = {buffer};
    os::ReportEventA(source, eventType, static_cast<os::WORD>(category), eventID, nullptr, 1, 0,
                     strings, nullptr);
    os::DeregisterEventSource(source);
}

}  // namespace zr
