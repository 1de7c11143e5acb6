// The event log store against another local user, a killed or stuck process
// and damage: what it makes is private, it follows no planted link, it waits
// for a lock a bounded time, and one damaged record costs only that record.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>
#include <vector>

#include "EventLogTestSupport.h"
#include "platform/EventLog.h"
#include "platform/EventLogFile.h"
#include "platform/EventLogStore.h"
#include "tests/support/LockHolder.h"

using namespace zr::os;

namespace {

class EventLogSafety : public zr::testing::ScratchEventLog {};

BOOL Report(const char* logName, DWORD id) {
    HANDLE source = RegisterEventSourceInLogA(nullptr, logName, "Tests");
    if (!source) return FALSE;
    const char* strings[] = {"text"};
    const BOOL written =
        ReportEventA(source, EVENTLOG_INFORMATION_TYPE, 0, id, nullptr, 1, 0, strings, nullptr);
    const DWORD error = GetLastError();
    DeregisterEventSource(source);
    SetLastError(error);
    return written;
}

mode_t ModeOf(const std::string& path) {
    struct stat st {};
    EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
    return st.st_mode & 07777;
}

std::string Contents(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// The record numbers a sequential read gives in one direction.
std::vector<DWORD> Numbers(HANDLE log, DWORD direction) {
    std::vector<DWORD> numbers;
    std::vector<std::uint8_t> buffer(1 << 16);
    DWORD read = 0, needed = 0;
    while (ReadEventLogA(log, EVENTLOG_SEQUENTIAL_READ | direction, 0, buffer.data(),
                         static_cast<DWORD>(buffer.size()), &read, &needed)) {
        for (DWORD at = 0; at < read;) {
            EVENTLOGRECORD head;
            std::memcpy(&head, buffer.data() + at, sizeof head);
            numbers.push_back(head.RecordNumber);
            at += head.Length;
        }
    }
    return numbers;
}

}  // namespace

TEST_F(EventLogSafety, FoldersAndFilesAreTheOwnersAlone) {
    const char* saved = ::getenv("ZORIRIVE_EVENTLOG");
    const std::string keep = saved ? saved : "";
    ::unsetenv("ZORIRIVE_EVENTLOG");
    ::setenv("XDG_STATE_HOME", (dir_ + "/state").c_str(), 1);
    const mode_t umask = ::umask(0);  // nothing of what is made may rely on it
    const BOOL written = Report("Application", 1);
    ::umask(umask);
    ::unsetenv("XDG_STATE_HOME");
    ::setenv("ZORIRIVE_EVENTLOG", keep.c_str(), 1);
    ASSERT_TRUE(written) << GetLastError();
    for (const char* folder : {"/state", "/state/zoririve", "/state/zoririve/eventlog"})
        EXPECT_EQ(ModeOf(dir_ + folder), 0700u) << folder;
    EXPECT_EQ(ModeOf(dir_ + "/state/zoririve/eventlog/Application.evtlog"), 0600u);
}

TEST_F(EventLogSafety, WithoutHomeTheStoreIsInTheUsersHomeFromThePasswordDatabase) {
    const std::string home = ::getenv("HOME") ? ::getenv("HOME") : "";
    const char* state = ::getenv("XDG_STATE_HOME");
    const std::string stateKept = state ? state : "";
    ::unsetenv("HOME");
    ::unsetenv("XDG_STATE_HOME");
    ::unsetenv("ZORIRIVE_EVENTLOG");
    const std::string folder = EventLogStoreFolder();
    ::setenv("HOME", home.c_str(), 1);
    if (state) ::setenv("XDG_STATE_HOME", stateKept.c_str(), 1);
    ::setenv("ZORIRIVE_EVENTLOG", (dir_ + "/events").c_str(), 1);
    const passwd* entry = ::getpwuid(::getuid());
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(folder, std::string(entry->pw_dir) + "/.local/state/zoririve/eventlog");
}

TEST_F(EventLogSafety, ALinkPlantedAsTheLogFileIsRefused) {
    std::filesystem::create_directories(dir_ + "/events");
    const std::string victim = dir_ + "/victim";
    std::ofstream(victim) << "precious";
    ASSERT_EQ(::symlink(victim.c_str(), LogPath("Application").c_str()), 0);
    EXPECT_FALSE(Report("Application", 1));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_EQ(Contents(victim), "precious");
    HANDLE log = OpenEventLogA(nullptr, "Application");
    DWORD count = 0;
    EXPECT_FALSE(GetNumberOfEventLogRecords(log, &count));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    CloseEventLog(log);
}

TEST_F(EventLogSafety, ALockHeldByAnotherProcessFailsTheWriteInBoundedTime) {
    ASSERT_TRUE(Report("Held", 1));
    {
        const zr::testing::LockHolder holder(LogPath("Held"), LOCK_EX);
        ASSERT_TRUE(holder.Held());
        eventlog::SetLockWait(std::chrono::milliseconds(200));
        const auto start = std::chrono::steady_clock::now();
        EXPECT_FALSE(Report("Held", 2));
        EXPECT_EQ(GetLastError(), ERROR_LOCK_VIOLATION);
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
        eventlog::SetLockWait(privstore::DefaultLockWait);
    }
    EXPECT_TRUE(Report("Held", 3));  // the lock gone, writing goes on
}

TEST_F(EventLogSafety, OneDamagedRecordCostsOnlyItselfAndIsNeverCut) {
    // A log of 100 records as a writer left it, then one byte of record 10
    // damaged: its length, so that it can no longer be stepped over by it.
    std::vector<std::uint8_t> bytes;
    off_t tenth = 0;
    for (DWORD number = 1; number <= 100; ++number) {
        eventlog::RecordFields fields;
        fields.number = number;
        fields.source = "Tests";
        fields.computer = "here";
        fields.strings = {"entry " + std::to_string(number)};
        const auto record = eventlog::ComposeRecord(fields);
        if (number == 10) tenth = static_cast<off_t>(bytes.size());
        bytes.insert(bytes.end(), record.begin(), record.end());
    }
    bytes[static_cast<std::size_t>(tenth)] ^= 0x40;
    std::filesystem::create_directories(dir_ + "/events");
    std::ofstream(LogPath("Damaged"), std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));

    ASSERT_TRUE(Report("Damaged", 101));
    const auto after = Contents(LogPath("Damaged"));
    ASSERT_GT(after.size(), bytes.size());  // appended, nothing cut
    EXPECT_EQ(after.compare(0, bytes.size(), std::string(bytes.begin(), bytes.end())), 0);

    HANDLE log = OpenEventLogA(nullptr, "Damaged");
    DWORD count = 0, oldest = 0;
    ASSERT_TRUE(GetNumberOfEventLogRecords(log, &count));
    ASSERT_TRUE(GetOldestEventLogRecord(log, &oldest));
    EXPECT_EQ(oldest, 1u);
    EXPECT_EQ(count, 101u);  // the new record numbered on after the old ones
    std::vector<DWORD> expected;
    for (DWORD number = 1; number <= 101; ++number)
        if (number != 10) expected.push_back(number);
    EXPECT_EQ(Numbers(log, EVENTLOG_FORWARDS_READ), expected);
    CloseEventLog(log);
    log = OpenEventLogA(nullptr, "Damaged");
    EXPECT_EQ(Numbers(log, EVENTLOG_BACKWARDS_READ),
              std::vector<DWORD>(expected.rbegin(), expected.rend()));
    std::uint8_t buffer[512];
    DWORD read = 0, needed = 0;
    EXPECT_FALSE(ReadEventLogA(log, EVENTLOG_SEEK_READ | EVENTLOG_FORWARDS_READ, 10, buffer,
                               sizeof buffer, &read, &needed));
    EXPECT_EQ(GetLastError(), ERROR_EVENTLOG_FILE_CORRUPT);
    CloseEventLog(log);
}

TEST_F(EventLogSafety, ARecordWhoseNumberIsDamagedHidesNoOther) {
    // Record 5 still checks out, but says it is number 2: read from the end,
    // it must not be taken for 2 (which would hide 4, 3 and the real 2).
    std::vector<std::uint8_t> bytes;
    for (DWORD number = 1; number <= 10; ++number) {
        eventlog::RecordFields fields;
        fields.number = number == 5 ? 2 : number;
        fields.source = "Tests";
        fields.strings = {"entry"};
        const auto record = eventlog::ComposeRecord(fields);
        bytes.insert(bytes.end(), record.begin(), record.end());
    }
    std::filesystem::create_directories(dir_ + "/events");
    std::ofstream(LogPath("Renumbered"), std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
    HANDLE log = OpenEventLogA(nullptr, "Renumbered");
    EXPECT_EQ(Numbers(log, EVENTLOG_BACKWARDS_READ),
              (std::vector<DWORD>{10, 9, 8, 7, 6, 4, 3, 2, 1}));
    CloseEventLog(log);
}

TEST_F(EventLogSafety, ADamagedButCompleteLastRecordIsKept) {
    // Only an incomplete record (a killed writer's: its length runs past the
    // end of the file) may be cut; these are whole in length, with one byte
    // of the signature or of the closing length damaged, or two records so.
    std::vector<std::uint8_t> bytes;
    std::vector<std::size_t> ends;
    for (DWORD number = 1; number <= 3; ++number) {
        eventlog::RecordFields fields;
        fields.number = number;
        fields.source = "Tests";
        fields.strings = {"entry"};
        const auto record = eventlog::ComposeRecord(fields);
        bytes.insert(bytes.end(), record.begin(), record.end());
        ends.push_back(bytes.size());
    }
    const std::size_t third = ends[1];
    struct Damage {
        const char* what;
        std::vector<std::size_t> bytes;
        std::vector<DWORD> left;
    };
    const Damage damages[] = {
        {"signature of the last", {third + 4}, {1, 2, 4}},
        {"closing length of the last", {ends[2] - 4}, {1, 2, 4}},
        {"closing lengths of the last two", {ends[1] - 4, ends[2] - 4}, {1, 4}},
    };
    std::filesystem::create_directories(dir_ + "/events");
    int n = 0;
    for (const Damage& damage : damages) {
        std::vector<std::uint8_t> damaged = bytes;
        for (std::size_t at : damage.bytes) damaged[at] ^= 0x01;
        const std::string name = "Tail" + std::to_string(++n);
        std::ofstream(LogPath(name), std::ios::binary)
            .write(reinterpret_cast<const char*>(damaged.data()),
                   static_cast<std::streamsize>(damaged.size()));
        ASSERT_TRUE(Report(name.c_str(), 4)) << damage.what;
        const auto after = Contents(LogPath(name));
        ASSERT_GT(after.size(), damaged.size()) << damage.what;
        EXPECT_EQ(after.compare(0, damaged.size(), std::string(damaged.begin(), damaged.end())), 0)
            << damage.what;
        HANDLE log = OpenEventLogA(nullptr, name.c_str());
        EXPECT_EQ(Numbers(log, EVENTLOG_FORWARDS_READ), damage.left) << damage.what;
        CloseEventLog(log);
    }
}

TEST_F(EventLogSafety, AHostileFileKeepsNoWriterWaiting) {
    // Every 8 bytes a plausible length and the signature: nothing in it is a
    // record, but every position looks like the start of one. Reading it
    // costs what reading a file costs, so a writer that meets it first does
    // not hold the lock for long, and the next writer does not give up.
    std::vector<std::uint8_t> bytes(1 << 20);
    for (std::size_t at = 0; at < bytes.size(); at += 8) {
        const DWORD words[2] = {0x40000, ELF_LOG_SIGNATURE};
        std::memcpy(bytes.data() + at, words, sizeof words);
    }
    std::filesystem::create_directories(dir_ + "/events");
    std::ofstream(LogPath("Hostile"), std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
    int started[2];
    ASSERT_EQ(::pipe(started), 0);
    const pid_t first = ::fork();
    ASSERT_GE(first, 0);
    if (first == 0) {
        (void)!::write(started[1], "s", 1);
        _exit(Report("Hostile", 1) ? 0 : 1);
    }
    char signal = 0;
    ASSERT_EQ(::read(started[0], &signal, 1), 1);
    ::close(started[0]);
    ::close(started[1]);
    ::usleep(100 * 1000);
    eventlog::SetLockWait(std::chrono::milliseconds(500));
    EXPECT_TRUE(Report("Hostile", 2)) << GetLastError();
    eventlog::SetLockWait(privstore::DefaultLockWait);
    int status = 0;
    ::waitpid(first, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    HANDLE log = OpenEventLogA(nullptr, "Hostile");
    EXPECT_EQ(Numbers(log, EVENTLOG_FORWARDS_READ).size(), 2u);
    CloseEventLog(log);
}

TEST_F(EventLogSafety, AChildOfAWriterDoesNotShareItsLock) {
    ASSERT_TRUE(Report("Forked", 1));  // the store keeps the file open now
    int storeFd = -1;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code error;
        if (std::filesystem::read_symlink(entry.path(), error) == LogPath("Forked"))
            storeFd = std::stoi(entry.path().filename().string());
    }
    ASSERT_GE(storeFd, 0);
    // As if this process were in the middle of an append when it forked: a
    // child that wrote through the inherited file would hold the lock too.
    ASSERT_EQ(::flock(storeFd, LOCK_EX), 0);
    eventlog::SetLockWait(std::chrono::milliseconds(200));
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        const bool waited = !Report("Forked", 2) && GetLastError() == ERROR_LOCK_VIOLATION;
        _exit(waited ? 0 : 1);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    ::flock(storeFd, LOCK_UN);
    eventlog::SetLockWait(privstore::DefaultLockWait);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_TRUE(Report("Forked", 3));
}

TEST_F(EventLogSafety, AChildForkedWhileAnotherThreadWritesCanWrite) {
    // Another thread is inside the store's calls (holding its locks) at
    // fork: the child has no such thread, so nothing it inherited may stay
    // held.
    ASSERT_TRUE(Report("Busy", 1));
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        HANDLE log = OpenEventLogA(nullptr, "Busy");
        DWORD count = 0;
        while (!stop) {
            Report("Busy", 2);
            GetNumberOfEventLogRecords(log, &count);
        }
        CloseEventLog(log);
    });
    int hung = 0, failed = 0;
    for (int i = 0; i < 20; ++i) {
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            ::alarm(5);  // a child that hangs ends here
            HANDLE log = OpenEventLogA(nullptr, "Busy");
            DWORD count = 0;
            const bool ok = Report("Busy", 3) && GetNumberOfEventLogRecords(log, &count);
            _exit(ok ? 0 : 1);
        }
        int status = 0;
        ::waitpid(child, &status, 0);
        if (WIFSIGNALED(status))
            ++hung;
        else if (WEXITSTATUS(status) != 0)
            ++failed;
    }
    stop = true;
    writer.join();
    EXPECT_EQ(hung, 0);
    EXPECT_EQ(failed, 0);
}
