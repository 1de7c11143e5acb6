#include "watchers/LogNT.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "framework/Exceptions.h"
#include "framework/Registry.h"
#include "framework/TypeInfo.h"
#include "tests/platform/EventLogTestSupport.h"

using namespace zr;

namespace {

class NTEventLog : public zr::testing::ScratchEventLog {
  protected:
    // Entries "entry 0" .. "entry n-1" of `source`, which writes to `log`.
    void WriteEntries(const std::string& log, int n, const std::string& source = "Tests") {
        if (log != "Application") RegisterSource(log, source, "");
        TKVNTEventLog writer(nullptr);
        writer.SetSource(source);
        for (int i = 0; i < n; ++i)
            writer.WriteToEventLog("entry " + std::to_string(i), os::EVENTLOG_WARNING_TYPE, 0,
                                   0xC0000005);
    }
    static void RegisterSource(const std::string& log, const std::string& source,
                               const std::string& files) {
        TRegistry registry;
        registry.SetRootKey(os::HKEY_LOCAL_MACHINE);
        ASSERT_TRUE(registry.OpenKey(
            "SYSTEM\\CurrentControlSet\\Services\\EventLog\\" + log + "\\" + source, true));
        if (!files.empty()) registry.WriteString("EventMessageFile", files);
    }
    static os::DWORD RaisedCode(const std::function<void()>& call) {
        try {
            call();
        } catch (const EOSError& e) {
            return e.ErrorCode();
        }
        return 0;
    }
};

os::DWORD OneDayAfterTheEpoch() {
    return 86400;
}

}  // namespace

TEST_F(NTEventLog, ValuesAfterConstructionAndPublishedProperties) {
    TKVNTEventLog log(nullptr);
    EXPECT_FALSE(log.Active());
    EXPECT_EQ(log.Log(), "Application");
    EXPECT_EQ(log.Server(), "");
    EXPECT_EQ(log.Source(), "");
    EXPECT_FALSE(log.ReadBackwards());
    EXPECT_EQ(log.EventLogHandle(), nullptr);
    EXPECT_EQ(log.CurrentRecord(), -2);
    EXPECT_EQ(log.GetEventCount(), 0u);
    EXPECT_EQ(log.GetEventMessageText(), "");  // nothing read yet
    EXPECT_EQ(GetClass("TKVNTEventLog"), &TKVNTEventLog::StaticClassInfo());
    const TClassInfo& info = TKVNTEventLog::StaticClassInfo();
    for (const char* name : {"Server", "Source", "Log"}) {
        const TPropInfo* prop = info.FindProperty(name);
        ASSERT_NE(prop, nullptr) << name;
        EXPECT_TRUE(IsStoredProp(&log, *prop)) << name;  // no declared default
    }
}

TEST_F(NTEventLog, IndexZeroIsTheOldestAndTheCountRaises) {
    WriteEntries("Application", 3);
    TKVNTEventLog log(nullptr);
    log.Open();
    ASSERT_EQ(log.GetEventCount(), 3u);
    log.ReadEvent(0);
    EXPECT_EQ(log.GetEventString(0), "entry 0");
    log.ReadEvent(2);
    EXPECT_EQ(log.CurrentRecord(), 2);
    EXPECT_EQ(log.GetEventString(0), "entry 2");
    EXPECT_EQ(log.GetEventStringCount(), 1);
    EXPECT_EQ(log.GetEventString(1), "");
    EXPECT_EQ(log.GetEventString(0xFFFFFFFF), "");
    EXPECT_EQ(log.GetEventSource(), "Tests");
    char host[256] = {};
    gethostname(host, sizeof host - 1);
    EXPECT_EQ(log.GetEventComputer(), host);
    EXPECT_EQ(log.GetEventID(), 0xC0000005u);
    EXPECT_EQ(log.GetEventType(), os::EVENTLOG_WARNING_TYPE);
    EXPECT_EQ(log.GetEventSID(), nullptr);  // entries are written without a user SID

    EXPECT_EQ(RaisedCode([&] { log.ReadEvent(3); }), os::ERROR_INVALID_PARAMETER);
    EXPECT_EQ(log.CurrentRecord(), 2);  // the record held is kept
    EXPECT_EQ(log.GetEventString(0), "entry 2");

    // Reading backwards seeks the same record by index.
    log.SetReadBackwards(true);
    log.SeekRecord(1);
    EXPECT_EQ(log.GetEventString(0), "entry 1");
}

TEST_F(NTEventLog, TheSameIndexIsReadOnceUntilReopened) {
    WriteEntries("Application", 2);
    TKVNTEventLog log(nullptr);
    log.Open();
    log.ReadEvent(1);
    std::filesystem::remove(LogPath("Application"));  // any further read fails
    EXPECT_NO_THROW(log.ReadEvent(1));
    EXPECT_EQ(log.GetEventString(0), "entry 1");
    log.Close();
    EXPECT_EQ(log.GetEventSource(), "");  // closing drops the record
    log.Open();
    EXPECT_EQ(log.CurrentRecord(), -2);
    EXPECT_NE(RaisedCode([&] { log.ReadEvent(1); }), 0u);
}

TEST_F(NTEventLog, EventTimeIsUtcWhateverTheLocalZone) {
    const auto previous = os::SetEventLogClock(&OneDayAfterTheEpoch);
    WriteEntries("Application", 1);
    os::SetEventLogClock(previous);
    const char* oldZone = getenv("TZ");
    const std::string saved = oldZone ? oldZone : "";
    setenv("TZ", "XYZ-14", 1);  // fourteen hours east of UTC
    tzset();
    TKVNTEventLog log(nullptr);
    log.Open();
    log.ReadEvent(0);
    EXPECT_EQ(log.GetEventTime(), EncodeDate(1970, 1, 2));
    oldZone ? setenv("TZ", saved.c_str(), 1) : unsetenv("TZ");
    tzset();
}

TEST_F(NTEventLog, MessageTextComesFromTheFirstFileThatHoldsIt) {
    const std::string folder = dir_ + "/messages";
    std::filesystem::create_directories(folder);
    std::ofstream(folder + "/first.mc") << "MessageId=9\nLanguage=English\nanother message\n.\n";
    std::ofstream(folder + "/second.mc")
        << "MessageId=5\nSeverity=Error\nLanguage=English\n"
           "Disk %1 is full;%n%2 was not given.\n.\n"
           "MessageId=6\nLanguage=English\nno line break at the end%0\n.\n";
    setenv("ZR_TEST_MESSAGES", folder.c_str(), 1);
    RegisterSource("Application", "Tests",
                   "%ZR_TEST_MESSAGES%/missing.mc;%ZR_TEST_MESSAGES%/first.mc;"
                   "%ZR_TEST_MESSAGES%/second.mc");
    TKVNTEventLog writer(nullptr);
    writer.SetSource("Tests");
    writer.WriteToEventLog("C:", os::EVENTLOG_ERROR_TYPE, 0, 0xC0000005);
    writer.WriteToEventLog("ignored", os::EVENTLOG_ERROR_TYPE, 0, 0xC0000006);
    writer.WriteToEventLog("C:", os::EVENTLOG_ERROR_TYPE, 0, 0xC0000007);

    TKVNTEventLog log(nullptr);
    log.Open();
    log.ReadEvent(0);
    EXPECT_EQ(log.GetEventMessageText(), "Disk C: is full;\r\n%2 was not given.");
    log.ReadEvent(1);
    EXPECT_EQ(log.GetEventMessageText(), "no line break at the end");
    log.ReadEvent(2);
    EXPECT_EQ(log.GetEventMessageText(), "");  // in no file
    // The files are looked up under Log: the same source in another log has none.
    log.SetLog("System");
    EXPECT_EQ(log.GetEventCount(), 0u);
    unsetenv("ZR_TEST_MESSAGES");
}

TEST_F(NTEventLog, SettingLogWhileActiveReopensThatLog) {
    WriteEntries("Application", 1);
    WriteEntries("Other", 3, "Elsewhere");
    TKVNTEventLog log(nullptr);
    log.Open();
    EXPECT_EQ(log.GetEventCount(), 1u);
    log.ReadEvent(0);
    log.SetLog("Other");
    EXPECT_TRUE(log.Active());
    EXPECT_EQ(log.CurrentRecord(), -2);
    EXPECT_EQ(log.GetEventCount(), 3u);
    log.ReadEvent(0);
    log.SetLog("Other");  // the same name changes nothing
    EXPECT_EQ(log.CurrentRecord(), 0);
    log.Close();
    log.SetLog("Application");
    EXPECT_FALSE(log.Active());  // inactive stays inactive
}

TEST_F(NTEventLog, OpeningThatFailsRaisesAndLeavesItClosed) {
    TKVNTEventLog log(nullptr);
    log.SetServer("\\\\faraway");
    EXPECT_EQ(RaisedCode([&] { log.Open(); }), os::RPC_S_SERVER_UNAVAILABLE);
    EXPECT_FALSE(log.Active());
    EXPECT_EQ(log.EventLogHandle(), nullptr);
    EXPECT_NE(RaisedCode([&] { log.SeekRecord(0); }), 0u);

    // In the designer Active is only a stored flag.
    log.SetComponentStateFlag(csDesigning, true);
    log.Open();
    EXPECT_TRUE(log.Active());
    EXPECT_EQ(log.EventLogHandle(), nullptr);
    EXPECT_EQ(log.GetEventCount(), 0u);
}

TEST_F(NTEventLog, WritingNeedsASourceAndCutsLongText) {
    TKVNTEventLog log(nullptr);
    log.WriteToEventLog("no source", os::EVENTLOG_INFORMATION_TYPE, 0, 1);
    EXPECT_FALSE(std::filesystem::exists(LogPath("Application")));

    log.SetSource("Tests");
    log.WriteToEventLog(std::string(600, 'x'), os::EVENTLOG_INFORMATION_TYPE, 0x10002, 1);
    std::string accents;
    for (int i = 0; i < 256; ++i) accents += "\xC3\xA9";  // 512 bytes of two-byte characters
    log.WriteToEventLog(accents, os::EVENTLOG_INFORMATION_TYPE, 0, 2);
    log.Open();
    log.ReadEvent(0);
    EXPECT_EQ(log.GetEventString(0), std::string(511, 'x'));
    log.ReadEvent(1);
    EXPECT_EQ(log.GetEventString(0), accents.substr(0, 510));  // not half a character
}
