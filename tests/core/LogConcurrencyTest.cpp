// The shared log lock between threads, and the share mode between processes.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <set>
#include <thread>
#include <vector>

#include "LogTestSupport.h"
#include "core/LogBase.h"
#include "framework/FileStream.h"

namespace zr {
namespace {

// A text that shows whether it arrived whole: "[writer:index:xxx...]", of varying length.
std::string Record(int writer, int index) {
    return "[" + std::to_string(writer) + ":" + std::to_string(index) + ":" +
           std::string((index * 7 + writer * 13) % 90, 'a' + writer) + "]";
}

// Checks that `log` is whole records, each of `writers` x `count` exactly once.
void ExpectAllRecordsWhole(const std::string& log, int writers, int count) {
    std::size_t expectedSize = 0;
    for (int w = 0; w < writers; ++w)
        for (int i = 0; i < count; ++i) expectedSize += Record(w, i).size();
    EXPECT_EQ(log.size(), expectedSize);
    std::set<std::pair<int, int>> seen;
    for (std::size_t pos = 0; pos < log.size();) {
        std::size_t end = log.find(']', pos);
        int w = -1, i = -1;
        if (end == std::string::npos || std::sscanf(&log[pos], "[%d:%d:", &w, &i) != 2 ||
            Record(w, i) != log.substr(pos, end - pos + 1)) {
            ADD_FAILURE() << "torn or mixed text at offset " << pos;
            return;
        }
        EXPECT_TRUE(seen.emplace(w, i).second) << "twice: " << w << ":" << i;
        pos = end + 1;
    }
    EXPECT_EQ(seen.size(), std::size_t(writers * count));
}

class LogBaseThread : public testing::ScratchFolder {};

TEST_F(LogBaseThread, EightThreadsOfTwoComponentsNeverInterleave) {
    TKVLogBase first(nullptr), second(nullptr);
    first.SetLogFile(Path("shared.log"));
    second.SetLogFile(Path("shared.log"));
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 10000; ++i) (t % 2 ? second : first).WriteAsString(Record(t, i));
        });
    for (auto& thread : threads) thread.join();
    ExpectAllRecordsWhole(Content(Path("shared.log")), 8, 10000);
}

TEST_F(LogBaseThread, TheLockCoversTheExistenceTestButNotEmptyTexts) {
    TKVLogBase log(nullptr);
    log.SetLogFile(Path("wait.log"));
    std::unique_lock held(KVLogLock());
    auto empty = std::async(std::launch::async, [&] { log.WriteAsString(""); });
    EXPECT_EQ(empty.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    auto text = std::async(std::launch::async, [&] { log.WriteAsString("late"); });
    EXPECT_EQ(text.wait_for(std::chrono::milliseconds(200)), std::future_status::timeout);
    EXPECT_FALSE(Exists(Path("wait.log"))) << "the file was touched outside the lock";
    held.unlock();
    text.get();
    EXPECT_EQ(Content(Path("wait.log")), "late");
}

class LogBaseProcess : public testing::ScratchFolder {};

TEST_F(LogBaseProcess, AFileHeldByAnotherProcessRefusesTheWholeText) {
    TKVLogBase log(nullptr);
    log.SetLogFile(Path("held.log"));
    log.WriteAsString("parent ");
    {
        TFileStream holder(log.LogFile(), fmOpenReadWrite | fmShareDenyWrite);  // as a write does
        EXPECT_EQ(testing::RunInChild([&] {
                      try {
                          log.WriteAsString("child text");
                          return 1;
                      } catch (const EFOpenError&) {
                      }
                      return KVLogLock().try_lock() ? 0 : 2;
                  }),
                  0);
    }
    EXPECT_EQ(Content(log.LogFile()), "parent ");
}

// Two processes appending at once: each text lands whole or is refused whole
// (and retried here), so the file ends up holding every text exactly once.
TEST_F(LogBaseProcess, TwoProcessesWritingAtOnceLoseAndTearNothing) {
    auto writeAll = [&](int writer) {
        TKVLogBase log(nullptr);
        log.SetLogFile(Path("race.log"));
        for (int i = 0; i < 2000; ++i) {
            for (;;) {
                try {
                    log.WriteAsString(Record(writer, i));
                    break;
                } catch (const EFOpenError&) {
                    std::this_thread::yield();
                }
            }
        }
        return 0;
    };
    pid_t pid = ::fork();
    if (pid == 0) ::_exit(writeAll(1));
    writeAll(0);
    int status = 0;
    ::waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    ExpectAllRecordsWhole(Content(Path("race.log")), 2, 2000);
}

}  // namespace
}  // namespace zr
