#include "watchers/LogFile.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "core/LogTestSupport.h"
#include "framework/FormReader.h"
#include "framework/MessageQueue.h"
#include "platform/ChangeNotify.h"
#include "support/InotifyLimit.h"

using namespace zr;
using namespace std::chrono_literals;

namespace {

using Events = std::vector<TFileNotificationOption>;

// A folder log on a scratch folder whose reports are collected. Reports
// arrive only while the test serves the main thread's Synchronize queue.
class FileLogThreadTest : public zr::testing::ScratchFolder {
  protected:
    void SetUp() override {
        ScratchFolder::SetUp();
        log = new TKVFileLog(nullptr);
        log->SetFolder(dir_);
        log->SetOnFileNotification(TFileNotifyEvent::FromFunction(
            [this](TObject*, TFileNotificationOption action) { events.push_back(action); }));
    }
    void TearDown() override {
        delete log;
        ScratchFolder::TearDown();
    }
    // Serves until `count` reports came (five seconds at most).
    bool ServeUntil(std::size_t count) {
        auto limit = std::chrono::steady_clock::now() + 5s;
        while (events.size() < count && std::chrono::steady_clock::now() < limit)
            TThread::CheckSynchronize(10);
        return events.size() >= count;
    }
    // Serves for a while, long enough for a wrong report to arrive.
    static void Serve(std::chrono::milliseconds period = 300ms) {
        auto end = std::chrono::steady_clock::now() + period;
        while (std::chrono::steady_clock::now() < end) TThread::CheckSynchronize(10);
    }
    void MakeFile(const std::string& name, const std::string& content = "") {
        std::ofstream(Path(name)) << content;
    }
    void MakeEmptyFile(const std::string& name) {
        close(open(Path(name).c_str(), O_CREAT | O_WRONLY, 0644));
    }
    static int ThreadCount() {
        int n = 0;
        for ([[maybe_unused]] auto& task : std::filesystem::directory_iterator("/proc/self/task"))
            ++n;
        return n;
    }
    // The count once a first thread has come and gone: a sanitizer's
    // run-time starts a thread of its own beside the program's first one.
    static int SettledThreadCount() {
        std::thread([] {}).join();
        return ThreadCount();
    }

    TKVFileLog* log = nullptr;
    Events events;
};

TEST_F(FileLogThreadTest, EachKindIsReportedWithItsActionAndOnlyOnce) {
    MakeEmptyFile("existing");
    log->SetOptions({foFile, foFolder, foAttributes, foSize, foTime});
    log->SetActive(true);
    MakeEmptyFile("new");
    ASSERT_TRUE(ServeUntil(1));
    mkdir(Path("sub").c_str(), 0755);
    ASSERT_TRUE(ServeUntil(2));
    chmod(Path("existing").c_str(), 0600);
    ASSERT_TRUE(ServeUntil(3));
    // One write changes size and time: reported in option order.
    ASSERT_EQ(truncate(Path("existing").c_str(), 10), 0);
    ASSERT_TRUE(ServeUntil(5));
    Serve();
    EXPECT_EQ(events, (Events{foFile, foFolder, foAttributes, foSize, foTime}));
}

TEST_F(FileLogThreadTest, KindsNotSelectedRaiseNothing) {
    MakeEmptyFile("existing");
    log->SetOptions({foAttributes});
    log->SetActive(true);
    MakeFile("new", "bytes");
    mkdir(Path("sub").c_str(), 0755);
    rename(Path("new").c_str(), Path("renamed").c_str());
    chmod(Path("existing").c_str(), 0600);
    ASSERT_TRUE(ServeUntil(1));
    Serve();
    EXPECT_EQ(events, Events{foAttributes});
}

TEST_F(FileLogThreadTest, SubfoldersAreWatchedOnlyWithWatchSubFoldersNewOnesIncluded) {
    std::filesystem::create_directories(Path("sub"));
    log->SetOptions({foFile});
    log->SetActive(true);
    MakeEmptyFile("sub/f");
    Serve();
    EXPECT_TRUE(events.empty());

    log->SetOptions({foFile, foWatchSubFolders});
    // A file made a moment after its folder, before the watcher saw the folder.
    std::filesystem::create_directories(Path("new/deeper"));
    MakeEmptyFile("new/deeper/f");
    ASSERT_TRUE(ServeUntil(1));
    EXPECT_EQ(events[0], foFile);
}

TEST_F(FileLogThreadTest, AFileCreatedAndWrittenIsReportedAsFileThenTime) {
    log->SetOptions({foFile, foTime});
    log->SetActive(true);
    MakeFile("new", "bytes");
    ASSERT_TRUE(ServeUntil(2));
    EXPECT_EQ(events, (Events{foFile, foTime}));
}

TEST_F(FileLogThreadTest, WithNoKindSelectedTheWorkerRunsSilentlyUntilKindsAreChosen) {
    for (auto options : {TFileNotificationOptions{}, TFileNotificationOptions{foWatchSubFolders}}) {
        log->SetOptions(options);
        log->SetActive(true);
        EXPECT_NE(log->NotificationThread(), nullptr);
        MakeEmptyFile("f" + std::to_string(options.Mask()));
        Serve(250ms);
        EXPECT_TRUE(events.empty());
    }
    // The worker, which had nothing to wait on, takes up the new table.
    log->SetOptions({foFile});
    MakeEmptyFile("last");
    ASSERT_TRUE(ServeUntil(1));
    EXPECT_EQ(events[0], foFile);
}

TEST_F(FileLogThreadTest, AFolderThatCannotBeWatchedRaisesAndLeavesActiveTrue) {
    log->SetFolder("");
    try {
        log->SetActive(true);
        FAIL() << "no exception";
    } catch (const EFileNotificationError& e) {
        EXPECT_EQ(e.Message(), "Could not allocate notification object");
    }
    EXPECT_TRUE(log->Active());
    EXPECT_EQ(log->NotificationThread(), nullptr);

    log->SetFolder(dir_);
    log->SetActive(true);
    EXPECT_THROW(log->SetFolder(Path("missing")), EFileNotificationError);
    EXPECT_EQ(log->Folder(), Path("missing"));
    ASSERT_NE(log->NotificationThread(), nullptr) << "the worker stays, with no handles";
    log->SetFolder(dir_);
    MakeEmptyFile("f");
    ASSERT_TRUE(ServeUntil(1));
}

using zr::testing::LimitedAddWatch;
using zr::testing::watchesLeft;

TEST_F(FileLogThreadTest, ReachingTheWatchLimitNamesTheSetting) {
    std::filesystem::create_directories(Path("a/b"));
    log->SetOptions({foFile, foWatchSubFolders});
    watchesLeft = 2;
    auto previous = os::SetInotifyAddWatch(LimitedAddWatch);
    std::string message;
    try {
        log->SetActive(true);
    } catch (const EFileNotificationError& e) {
        message = e.Message();
    }
    os::SetInotifyAddWatch(previous);
    EXPECT_TRUE(message.starts_with("Could not allocate notification object")) << message;
    EXPECT_NE(message.find("fs.inotify.max_user_watches"), std::string::npos) << message;
}

TEST_F(FileLogThreadTest, NoEventReachesTheHandlerOnceInactiveEvenWhenQueued) {
    log->SetActive(true);
    MakeEmptyFile("f");
    std::this_thread::sleep_for(300ms);  // the report now waits for the main thread
    log->SetActive(false);
    Serve();
    EXPECT_TRUE(events.empty());
}

TEST_F(FileLogThreadTest, ChangingFolderWhileActiveMovesTheWatch) {
    const std::string other = dir_ + "/other";
    std::filesystem::create_directories(other);
    log->SetActive(true);
    log->SetFolder(other);
    MakeEmptyFile("old-folder-file");
    std::filesystem::create_directories(other + "/sub");
    ASSERT_TRUE(ServeUntil(1));
    Serve();
    EXPECT_EQ(events, Events{foFolder});
}

TEST_F(FileLogThreadTest, DestroyingTheLogWhileAReportWaitsDropsTheReport) {
    log->SetActive(true);
    MakeEmptyFile("f");
    std::this_thread::sleep_for(300ms);
    delete log;
    log = nullptr;
    Serve(100ms);
    EXPECT_TRUE(events.empty());
}

TEST_F(FileLogThreadTest, AHandlerMayEndItsOwnLog) {
    int before = SettledThreadCount();
    log->SetOnFileNotification(TFileNotifyEvent::FromFunction([this](TObject*, auto action) {
        events.push_back(action);
        delete log;  // the worker waits for this very handler
        log = nullptr;
    }));
    log->SetActive(true);
    MakeEmptyFile("f");
    ASSERT_TRUE(ServeUntil(1));
    auto limit = std::chrono::steady_clock::now() + 5s;
    while (ThreadCount() > before && std::chrono::steady_clock::now() < limit)
        std::this_thread::sleep_for(10ms);
    EXPECT_EQ(ThreadCount(), before) << "the worker did not end";
}

TEST_F(FileLogThreadTest, ActivatingTwiceLeavesOneWorker) {
    int before = SettledThreadCount();
    log->SetActive(true);
    log->SetActive(true);
    EXPECT_EQ(ThreadCount(), before + 1);
    log->SetActive(false);
    EXPECT_EQ(ThreadCount(), before);
}

TEST_F(FileLogThreadTest, AFailingHandlerGoesToTheApplicationAndWatchingGoesOn) {
    int failures = 0;
    auto previous = SetDispatchExceptionHandler([&] { ++failures; });
    log->SetOnFileNotification(TFileNotifyEvent::FromFunction([this](TObject*, auto action) {
        events.push_back(action);
        if (events.size() == 1) throw EAbort("handler failed");
    }));
    log->SetActive(true);
    MakeEmptyFile("a");
    ASSERT_TRUE(ServeUntil(1));
    MakeEmptyFile("b");
    EXPECT_TRUE(ServeUntil(2));
    SetDispatchExceptionHandler(previous);
    EXPECT_EQ(failures, 1);
}

TEST_F(FileLogThreadTest, AnActiveLogReadFromAFormFileWatchesTheFolderStoredAfterActive) {
    TComponent owner(nullptr);
    auto* read =
        static_cast<TKVFileLog*>(ReadComponentFromText("object Watcher: TKVFileLog\n"
                                                       "  Active = True\n"
                                                       "  Folder = '" +
                                                           dir_ +
                                                           "'\n"
                                                           "  Options = [foFolder]\n"
                                                           "end\n",
                                                       &owner));
    ASSERT_NE(read->NotificationThread(), nullptr);
    read->SetOnFileNotification(log->OnFileNotification());
    MakeEmptyFile("ignored");
    mkdir(Path("sub").c_str(), 0755);
    ASSERT_TRUE(ServeUntil(1));
    EXPECT_EQ(events[0], foFolder);
}

}  // namespace
