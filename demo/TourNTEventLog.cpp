// Tour stop: an event source registered with the tour's message file writes
// three entries, and the NT event log reads them back newest first with
// their message texts.
#include <stdlib.h>

#include <filesystem>
#include <string>

#include "Tour.h"
#include "framework/DateUtils.h"
#include "framework/Exceptions.h"
#include "framework/Registry.h"
#include "platform/EventLog.h"
#include "watchers/LogNT.h"

namespace {

// Temporary event log and registry stores for this stop, given back when it ends.
class TScratchStores {
  public:
    TScratchStores() {
        const char* tmp = std::getenv("TMPDIR");
        std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/zrdemo-eventlog-XXXXXX";
        if (!::mkdtemp(pattern.data())) throw zr::EInOutError("Cannot make a temporary store");
        folder_ = pattern;
        Swap("ZORIRIVE_EVENTLOG", folder_ + "/events", savedLog_);
        Swap("ZORIRIVE_REGISTRY", folder_ + "/registry", savedRegistry_);
    }
    ~TScratchStores() {
        Restore("ZORIRIVE_EVENTLOG", savedLog_);
        Restore("ZORIRIVE_REGISTRY", savedRegistry_);
        std::error_code ignored;
        std::filesystem::remove_all(folder_, ignored);
    }
    const std::string& Folder() const { return folder_; }

  private:
    struct TSaved {
        std::string value;
        bool had = false;
    };
    static void Swap(const char* name, const std::string& value, TSaved& saved) {
        if (const char* old = std::getenv(name)) saved = {old, true};
        ::setenv(name, value.c_str(), 1);
    }
    static void Restore(const char* name, const TSaved& saved) {
        if (saved.had)
            ::setenv(name, saved.value.c_str(), 1);
        else
            ::unsetenv(name);
    }
    std::string folder_;
    TSaved savedLog_, savedRegistry_;
};

const char* TypeName(std::uint16_t type) {
    switch (type) {
        case zr::os::EVENTLOG_ERROR_TYPE:
            return "error";
        case zr::os::EVENTLOG_WARNING_TYPE:
            return "warning";
        default:
            return "information";
    }
}

// A message text's line breaks, each followed by the indentation of its first line.
std::string Indented(std::string text) {
    for (std::size_t at = 0; (at = text.find("\r\n", at)) != std::string::npos; at += 5)
        text.replace(at, 2, "\n    ");
    return text;
}

void ShowNTEventLog(std::ostream& out) {
    TScratchStores stores;
    const std::string messageFile = std::string(ZR_DEMO_SOURCE_DIR) + "/data/TourEvents.mc";
    out << "Temporary event log and registry stores in " << stores.Folder() << ".\n";

    zr::TRegistry registry;
    registry.SetRootKey(zr::os::HKEY_LOCAL_MACHINE);
    if (!registry.OpenKey(
            "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\ZoririveTour", true))
        throw zr::Exception("Cannot register the tour's event source");
    registry.WriteString("EventMessageFile", messageFile);
    out << "The source ZoririveTour names its message file " << messageFile << ".\n";

    zr::TComponent form(nullptr);
    auto* log = new zr::TKVNTEventLog(&form);  // the form frees it
    log->SetName("EventLog");
    log->SetSource("ZoririveTour");
    log->WriteToEventLog(zr::FormatDateTime("yyyy-mm-dd", zr::Now()),
                         zr::os::EVENTLOG_INFORMATION_TYPE, 0, 0x40000100);
    log->WriteToEventLog("/var/reports", zr::os::EVENTLOG_WARNING_TYPE, 0, 0x80000101);
    log->WriteToEventLog("4711", zr::os::EVENTLOG_ERROR_TYPE, 0, 0xC0000102);
    out << "Three entries written to the Application log.\n";

    log->Open();
    const std::uint32_t count = log->GetEventCount();
    out << "Read back newest first (" << count << " records):\n";
    for (std::uint32_t i = count; i-- > 0;) {
        log->ReadEvent(i);
        out << "  #" << i << "  " << zr::FormatDateTime("hh:nn:ss", log->GetEventTime()) << " UTC  "
            << TypeName(log->GetEventType()) << "  " << log->GetEventSource() << "  id "
            << (log->GetEventID() & 0xFFFF) << "\n    " << Indented(log->GetEventMessageText())
            << "\n";
    }
    log->Close();
}

const bool registered = zrdemo::AddStop(
    {"NT event log: entries written and read back with their message texts", ShowNTEventLog, 90});

}  // namespace
