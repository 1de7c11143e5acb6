// The shared log lock between threads, and the share mode between processes.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <map>
#include <set>
#include <thread>
#include <vector>

#include "LogTestSupport.h"
#include "core/LogBase.h"
#include "framework/FileStream.h"

namespace zr {
namespace {

// A record that shows whether it arrived whole: "[writer:index:len:xxx...]".
std::string Record(int writer, int index) {
    int len = (index * 7 + writer * 13) % 90;
    return "[" + std::to_string(writer) + ":" + std::to_string(index) + ":" + std::to_string(len) +
           ":" + std::string(len, 'a' + writer) + "]";
}

// Parses the log back into records; fails the test at the first torn one.
std::map<int, std::set<int>> ParseRecords(const std::string& log) {
    std::map<int, std::set<int>> seen;
    std::size_t pos = 0;
    while (pos < log.size()) {
        std::size_t end = log.find(']', pos);
        if (log[pos] != '[' || end == std::string::npos) {
            ADD_FAILURE() << "torn record at offset " << pos;
            break;
        }
        int writer = -1, index = -1, len = -1;
        std::string body = log.substr(pos + 1, end - pos - 1);
        if (std::sscanf(body.c_str(), "%d:%d:%d:", &writer, &index, &len) != 3 ||
            Record(writer, index) != log.substr(pos, end - pos + 1)) {
            ADD_FAILURE() << "mixed record at offset " << pos << ": " << body.substr(0, 40);
            break;
        }
        EXPECT_TRUE(seen[writer].insert(index).second)
            << "written twice: " << writer << ":" << index;
        pos = end + 1;
    }
    return seen;
}

class LogBaseThread : public testing::ScratchFolder {};

TEST_F(LogBaseThread, EightThreadsOfTwoComponentsNeverInterleave) {
    constexpr int kThreads = 8, kTexts = 10000;
    TKVLogBase first(nullptr), second(nullptr);
    first.SetLogFile(Path("shared.log"));
    second.SetLogFile(Path("shared.log"));

    std::size_t expectedSize = 0;
    for (int t = 0; t < kThreads; ++t)
        for (int i = 0; i < kTexts; ++i) expectedSize += Record(t, i).size();

    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            TKVLogBase& log = t % 2 == 0 ? first : second;
            for (int i = 0; i < kTexts; ++i) log.WriteAsString(Record(t, i));
        });
    }
    for (auto& thread : threads) thread.join();

    std::string log = Content(Path("shared.log"));
    EXPECT_EQ(log.size(), expectedSize);
    auto seen = ParseRecords(log);
    for (int t = 0; t < kThreads; ++t) EXPECT_EQ(seen[t].size(), std::size_t{kTexts}) << t;
}

TEST_F(LogBaseThread, EmptyTextDoesNotWaitForTheLock) {
    TKVLogBase log(nullptr);
    log.SetLogFile(Path("empty.log"));
    std::unique_lock held(KVLogLock());
    auto done = std::async(std::launch::async, [&] { log.WriteAsString(""); });
    bool returned = done.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
    held.unlock();
    done.wait();
    EXPECT_TRUE(returned) << "an empty text took the shared log lock";
    EXPECT_FALSE(Exists(Path("empty.log")));
}

TEST_F(LogBaseThread, AWriterWaitsForTheLockHolder) {
    TKVLogBase log(nullptr);
    log.SetLogFile(Path("wait.log"));
    std::unique_lock held(KVLogLock());
    auto done = std::async(std::launch::async, [&] { log.WriteAsString("late"); });
    EXPECT_EQ(done.wait_for(std::chrono::milliseconds(200)), std::future_status::timeout);
    EXPECT_FALSE(Exists(Path("wait.log"))) << "the existence test ran outside the lock";
    held.unlock();
    done.get();
    EXPECT_EQ(Content(Path("wait.log")), "late");
}

class LogBaseProcess : public testing::ScratchFolder {};

TEST_F(LogBaseProcess, AFileHeldByAnotherProcessRefusesTheWriteWhole) {
    TKVLogBase log(nullptr);
    log.SetLogFile(Path("held.log"));
    log.WriteAsString("parent ");
    {
        // This process holds the log the way a write does; the child must be refused.
        TFileStream holder(log.LogFile(), fmOpenReadWrite | fmShareDenyWrite);
        int child = testing::RunInChild([&] {
            try {
                log.WriteAsString("child text");
                return 1;
            } catch (const EFOpenError&) {
            }
            return KVLogLock().try_lock() ? 0 : 2;
        });
        EXPECT_EQ(child, 0);
    }
    EXPECT_EQ(Content(log.LogFile()), "parent ");
    EXPECT_EQ(testing::RunInChild([&] {
                  log.WriteAsString("child");
                  return 0;
              }),
              0);
    EXPECT_EQ(Content(log.LogFile()), "parent child");
}

// Two processes appending to one log at once: each write either lands whole
// or is refused whole (and retried here), so the file ends up holding every
// record exactly once.
TEST_F(LogBaseProcess, TwoProcessesWritingAtOnceLoseAndTearNothing) {
    constexpr int kTexts = 2000;
    auto writeAll = [&](int writer) {
        TKVLogBase log(nullptr);
        log.SetLogFile(Path("race.log"));
        int refused = 0;
        for (int i = 0; i < kTexts; ++i) {
            for (;;) {
                try {
                    log.WriteAsString(Record(writer, i));
                    break;
                } catch (const EFOpenError&) {
                    ++refused;
                    std::this_thread::yield();
                }
            }
        }
        return refused;
    };
    pid_t pid = ::fork();
    if (pid == 0) {
        int status = 1;
        try {
            writeAll(1);
            status = 0;
        } catch (...) {
        }
        ::_exit(status);
    }
    writeAll(0);
    int status = 0;
    ::waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

    std::string log = Content(Path("race.log"));
    std::size_t expectedSize = 0;
    for (int w = 0; w < 2; ++w)
        for (int i = 0; i < kTexts; ++i) expectedSize += Record(w, i).size();
    EXPECT_EQ(log.size(), expectedSize);
    auto seen = ParseRecords(log);
    EXPECT_EQ(seen[0].size(), std::size_t{kTexts});
    EXPECT_EQ(seen[1].size(), std::size_t{kTexts});
}

}  // namespace
}  // namespace zr
