// What the journal tests share: a scratch event log and registry store, a
// private journald, a message file, and writing entries.
#pragma once

#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "platform/EventLog.h"
#include "platform/Registry.h"
#include "tests/platform/EventLogTestSupport.h"
#include "tests/support/PrivateJournal.h"

namespace zr::testing {

using namespace zr::os;

// A message file whose message 0x80000020 has two lines.
inline constexpr DWORD QueueFull = 0x80000020;
inline const char* const QueueMessages =
    "MessageId=0x20\nSeverity=Warning\nFacility=Application\nLanguage=English\n"
    "Queue %1 is %2 full.\nSee the spool.\n.\n";

inline void RegisterMessageFile(const std::string& log, const std::string& source,
                                const std::string& file) {
    const std::string path =
        "SYSTEM\\CurrentControlSet\\Services\\EventLog\\" + log + "\\" + source;
    HKEY key = 0;
    ASSERT_EQ(RegCreateKeyEx(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                             nullptr, &key, nullptr),
              ERROR_SUCCESS);
    RegSetValueEx(key, "EventMessageFile", 0, REG_EXPAND_SZ,
                  reinterpret_cast<const BYTE*>(file.c_str()), static_cast<DWORD>(file.size() + 1));
    RegCloseKey(key);
}

inline BOOL Report(const std::string& log, const std::string& source, WORD type, WORD category,
                   DWORD id, std::vector<const char*> strings, const std::string& data = "",
                   PSID sid = nullptr) {
    HANDLE handle = RegisterEventSourceInLogA(nullptr, log.c_str(), source.c_str());
    const BOOL written =
        ReportEventA(handle, type, category, id, sid, static_cast<WORD>(strings.size()),
                     static_cast<DWORD>(data.size()), strings.data(), data.data());
    DeregisterEventSource(handle);
    return written;
}

class EventJournalFixture : public ScratchEventLog {
  protected:
    void SetUp() override {
        ScratchEventLog::SetUp();
        if (!PrivateNamespaceRefusal().empty()) GTEST_SKIP() << PrivateNamespaceRefusal();
        journal_ = std::make_unique<TPrivateJournal>();
        ASSERT_TRUE(journal_->Running()) << "no private journald";
        messageFile_ = dir_ + "/queue.mc";
        std::ofstream(messageFile_) << QueueMessages;
    }

    std::unique_ptr<TPrivateJournal> journal_;
    std::string messageFile_;
};

}  // namespace zr::testing
