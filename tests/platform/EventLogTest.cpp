#include "platform/EventLog.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <vector>

#include "EventLogTestSupport.h"
#include "platform/EventLogFile.h"

using namespace zr::os;
using zr::testing::ScratchEventLog;

namespace {

class EventLogStore : public ScratchEventLog {};

void Report(const char* log, const char* source, DWORD id, std::vector<const char*> strings,
            PSID sid = nullptr) {
    HANDLE handle = RegisterEventSourceInLogA(nullptr, log, source);
    ASSERT_NE(handle, nullptr);
    ASSERT_TRUE(ReportEventA(handle, EVENTLOG_WARNING_TYPE, 3, id, sid,
                             static_cast<WORD>(strings.size()), 0, strings.data(), nullptr));
    ASSERT_TRUE(DeregisterEventSource(handle));
}

std::vector<std::uint8_t> Seek(HANDLE log, DWORD number) {
    DWORD read = 0, needed = 0;
    std::vector<std::uint8_t> buffer(4096);
    if (!ReadEventLogA(log, EVENTLOG_SEEK_READ | EVENTLOG_FORWARDS_READ, number, buffer.data(),
                       static_cast<DWORD>(buffer.size()), &read, &needed))
        return {};
    DWORD length;  // the first record of those read
    std::memcpy(&length, buffer.data(), 4);
    buffer.resize(length);
    return buffer;
}

// The record numbers of everything a sequential read gives, `perRead` bytes a time.
std::vector<DWORD> ReadAll(HANDLE log, DWORD direction, DWORD perRead, DWORD& lastError) {
    std::vector<DWORD> numbers;
    std::vector<std::uint8_t> buffer(perRead);
    DWORD read = 0, needed = 0;
    while (ReadEventLogA(log, EVENTLOG_SEQUENTIAL_READ | direction, 0, buffer.data(), perRead,
                         &read, &needed)) {
        for (DWORD at = 0; at < read;) {
            EVENTLOGRECORD head;
            std::memcpy(&head, buffer.data() + at, sizeof head);
            numbers.push_back(head.RecordNumber);
            at += head.Length;
        }
    }
    lastError = GetLastError();
    return numbers;
}

}  // namespace

TEST_F(EventLogStore, RecordsKeepThePublishedLayoutWithTheWritersSid) {
    std::string sid = CurrentUserSid();
    Report("Application", "Tests", 0xC0FF0042, {"first", "", "third"}, sid.data());
    HANDLE log = OpenEventLogA(nullptr, "application");  // names ignore case
    ASSERT_NE(log, nullptr);
    DWORD count = 0, oldest = 0;
    ASSERT_TRUE(GetNumberOfEventLogRecords(log, &count));
    ASSERT_TRUE(GetOldestEventLogRecord(log, &oldest));
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(oldest, 1u);

    const auto record = Seek(log, 1);
    ASSERT_FALSE(record.empty());
    EVENTLOGRECORD head;
    std::memcpy(&head, record.data(), sizeof head);
    EXPECT_EQ(head.Length, record.size());
    EXPECT_EQ(head.Length % 4, 0u);
    DWORD closing;
    std::memcpy(&closing, record.data() + record.size() - 4, 4);
    EXPECT_EQ(closing, head.Length);
    EXPECT_EQ(head.Reserved, ELF_LOG_SIGNATURE);
    EXPECT_EQ(head.RecordNumber, 1u);
    EXPECT_EQ(head.EventID, 0xC0FF0042u);
    EXPECT_EQ(head.EventType, EVENTLOG_WARNING_TYPE);
    EXPECT_EQ(head.EventCategory, 3);
    EXPECT_EQ(head.NumStrings, 3);
    EXPECT_NEAR(static_cast<double>(head.TimeGenerated), static_cast<double>(time(nullptr)), 5);
    const char* names = reinterpret_cast<const char*>(record.data()) + sizeof head;
    EXPECT_STREQ(names, "Tests");
    const char* strings = reinterpret_cast<const char*>(record.data()) + head.StringOffset;
    EXPECT_STREQ(strings, "first");
    EXPECT_STREQ(strings + 6, "");
    EXPECT_STREQ(strings + 7, "third");
    EXPECT_EQ(SidToString(record.data() + head.UserSidOffset, head.UserSidLength),
              "S-1-22-1-" + std::to_string(getuid()));
    EXPECT_TRUE(CloseEventLog(log));
    EXPECT_FALSE(CloseEventLog(log));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST_F(EventLogStore, ANullSidRecordsNone) {
    Report("Application", "Tests", 1, {"no user"});
    HANDLE log = OpenEventLogA(nullptr, "Application");
    const auto record = Seek(log, 1);
    ASSERT_FALSE(record.empty());
    EVENTLOGRECORD head;
    std::memcpy(&head, record.data(), sizeof head);
    EXPECT_EQ(head.UserSidLength, 0u);
    CloseEventLog(log);
}

TEST_F(EventLogStore, ReadsSeekAndRunBothWaysAndSayWhenTheyCannot) {
    for (DWORD id = 1; id <= 5; ++id) Report("System", "Tests", id, {"some text"});
    HANDLE log = OpenEventLogA("", "System");
    ASSERT_NE(log, nullptr);

    // A buffer too small for the record asked for names the size needed.
    DWORD read = 7, needed = 0;
    EXPECT_FALSE(ReadEventLogA(log, EVENTLOG_SEEK_READ | EVENTLOG_BACKWARDS_READ, 3, nullptr, 0,
                               &read, &needed));
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(read, 0u);
    EXPECT_EQ(needed, Seek(log, 3).size());
    // A seek to no record, and flags that name no read.
    for (DWORD number : {0u, 6u}) {
        EXPECT_TRUE(Seek(log, number).empty());
        EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    }
    std::uint8_t buffer[1024];
    EXPECT_FALSE(ReadEventLogA(log, EVENTLOG_SEEK_READ, 1, buffer, sizeof buffer, &read, &needed));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);

    // Sequential reads take as many whole records as fit, then end.
    CloseEventLog(log);
    log = OpenEventLogA(nullptr, "System");
    DWORD error = 0;
    EXPECT_EQ(ReadAll(log, EVENTLOG_FORWARDS_READ, 1024, error),
              (std::vector<DWORD>{1, 2, 3, 4, 5}));
    EXPECT_EQ(error, ERROR_HANDLE_EOF);
    CloseEventLog(log);
    log = OpenEventLogA(nullptr, "System");
    EXPECT_EQ(ReadAll(log, EVENTLOG_BACKWARDS_READ, static_cast<DWORD>(needed + 10), error),
              (std::vector<DWORD>{5, 4, 3, 2, 1}));
    EXPECT_EQ(error, ERROR_HANDLE_EOF);
    CloseEventLog(log);
}

TEST_F(EventLogStore, OnlyTheLocalComputerIsReachable) {
    char host[256] = {};
    gethostname(host, sizeof host - 1);
    for (std::string local : {std::string("."), std::string("localhost"), std::string(host)}) {
        HANDLE log = OpenEventLogA(("\\\\" + local).c_str(), "Application");
        EXPECT_NE(log, nullptr) << local;
        CloseEventLog(log);
    }
    EXPECT_EQ(OpenEventLogA("\\\\faraway", "Application"), nullptr);
    EXPECT_EQ(GetLastError(), RPC_S_SERVER_UNAVAILABLE);
    EXPECT_EQ(RegisterEventSourceA("faraway", "Tests"), nullptr);
    EXPECT_EQ(GetLastError(), RPC_S_SERVER_UNAVAILABLE);
    // A log name that would leave the store.
    EXPECT_EQ(OpenEventLogA(nullptr, "../elsewhere"), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST_F(EventLogStore, HalfAWrittenRecordIsIgnoredAndOverwritten) {
    Report("Application", "Tests", 1, {"whole"});
    // What a writer killed in the middle of its write leaves behind: the
    // beginning of the record that would have been number 2.
    eventlog::RecordFields torn;
    torn.number = 2;
    torn.source = "Killed";
    torn.computer = "here";
    torn.strings = {"never finished"};
    const auto bytes = eventlog::ComposeRecord(torn);
    {
        std::ofstream file(LogPath("Application"), std::ios::binary | std::ios::app);
        file.write(reinterpret_cast<const char*>(bytes.data()),
                   static_cast<std::streamsize>(bytes.size() - 6));
    }
    HANDLE log = OpenEventLogA(nullptr, "Application");
    DWORD count = 0;
    GetNumberOfEventLogRecords(log, &count);
    EXPECT_EQ(count, 1u);

    Report("Application", "Tests", 2, {"after"});
    GetNumberOfEventLogRecords(log, &count);
    EXPECT_EQ(count, 2u);
    const auto second = Seek(log, 2);
    ASSERT_FALSE(second.empty());
    EXPECT_STREQ(reinterpret_cast<const char*>(second.data()) + sizeof(EVENTLOGRECORD), "Tests");
    EXPECT_EQ(std::filesystem::file_size(LogPath("Application")),
              Seek(log, 1).size() + second.size());
    CloseEventLog(log);
}

TEST_F(EventLogStore, AFileRewrittenBehindTheStoresBackIsReadAfresh) {
    const std::string texts[] = {"short", std::string(40, 'l'), "the last one"};
    for (DWORD i = 0; i < 3; ++i) Report("Application", "Tests", i, {texts[i].c_str()});
    HANDLE log = OpenEventLogA(nullptr, "Application");
    DWORD count = 0;
    GetNumberOfEventLogRecords(log, &count);  // the store now knows where records begin
    ASSERT_EQ(count, 3u);
    // The first two swapped, in the same file: the last record is where it
    // was, the second is not.
    std::vector<std::uint8_t> bytes;
    for (DWORD number : {1u, 2u, 3u}) {
        eventlog::RecordFields fields;
        fields.number = number;
        fields.source = "Rewritten";
        fields.strings = {texts[number == 3 ? 2 : 2 - number]};
        fields.userSid = CurrentUserSid();
        const auto record = eventlog::ComposeRecord(fields);
        bytes.insert(bytes.end(), record.begin(), record.end());
    }
    {
        std::ofstream file(LogPath("Application"), std::ios::binary | std::ios::in);
        file.write(reinterpret_cast<const char*>(bytes.data()),
                   static_cast<std::streamsize>(bytes.size()));
    }
    ASSERT_EQ(std::filesystem::file_size(LogPath("Application")), bytes.size());
    const auto second = Seek(log, 2);
    ASSERT_FALSE(second.empty());
    EXPECT_STREQ(reinterpret_cast<const char*>(second.data()) + sizeof(EVENTLOGRECORD),
                 "Rewritten");
    CloseEventLog(log);
}

TEST_F(EventLogStore, TwoProcessesAppendingToOneLogLoseNoRecord) {
    constexpr int PerWriter = 150;
    std::vector<pid_t> writers;
    for (int w = 0; w < 2; ++w) {
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            const std::string text(w == 0 ? 40 : 300, w == 0 ? 'a' : 'b');
            const char* strings[] = {text.c_str()};
            HANDLE source = RegisterEventSourceInLogA(nullptr, "Shared", w == 0 ? "A" : "B");
            bool ok = source != nullptr;
            for (int i = 0; ok && i < PerWriter; ++i)
                ok = ReportEventA(source, EVENTLOG_INFORMATION_TYPE, 0, static_cast<DWORD>(i),
                                  nullptr, 1, 0, strings, nullptr);
            _exit(ok ? 0 : 1);
        }
        writers.push_back(pid);
    }
    for (pid_t pid : writers) {
        int status = 0;
        waitpid(pid, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    HANDLE log = OpenEventLogA(nullptr, "Shared");
    DWORD error = 0;
    const auto numbers = ReadAll(log, EVENTLOG_FORWARDS_READ, 64 * 1024, error);
    ASSERT_EQ(numbers.size(), 2u * PerWriter);
    for (std::size_t i = 0; i < numbers.size(); ++i) EXPECT_EQ(numbers[i], i + 1);
    EXPECT_EQ(std::filesystem::file_size(LogPath("Shared")) % 4, 0u);
    CloseEventLog(log);
}

TEST(EventLogRecords, DamageAnywhereInARecordIsNoRecord) {
    eventlog::RecordFields fields;
    fields.number = 4;
    fields.source = "Source";
    fields.computer = "Computer";
    fields.userSid = CurrentUserSid();
    fields.strings = {"one", "two"};
    fields.data = "raw";
    const auto record = eventlog::ComposeRecord(fields);
    ASSERT_TRUE(eventlog::RecordChecksOut(record.data(), record.size(), 4));
    EXPECT_FALSE(eventlog::RecordChecksOut(record.data(), record.size(), 5));
    // Any byte of the fixed part, the names or the closing length changed so
    // that an offset or a length points out of the record is caught.
    for (std::size_t at : {std::size_t{0}, std::size_t{4}, offsetof(EVENTLOGRECORD, StringOffset),
                           offsetof(EVENTLOGRECORD, UserSidOffset),
                           offsetof(EVENTLOGRECORD, DataLength), record.size() - 4}) {
        auto damaged = record;
        damaged[at + 1] ^= 0x7F;
        EXPECT_FALSE(eventlog::RecordChecksOut(damaged.data(), damaged.size(), 4)) << at;
    }
    auto unterminated = record;  // the last string runs on to the closing length
    EVENTLOGRECORD head;
    std::memcpy(&head, record.data(), sizeof head);
    for (std::size_t i = head.StringOffset + 4; i < record.size() - 4; ++i)
        if (unterminated[i] == 0) unterminated[i] = 'x';
    EXPECT_FALSE(eventlog::RecordChecksOut(unterminated.data(), unterminated.size(), 4));
}
