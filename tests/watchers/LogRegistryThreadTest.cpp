// The registry change log with its watcher thread, against a scratch store
// that another process (zrreg) changes.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <memory>
#include <string>
#include <thread>

#include "framework/FormReader.h"
#include "framework/MessageQueue.h"
#include "framework/Thread.h"
#include "tests/platform/RegistryTestSupport.h"
#include "watchers/LogRegistry.h"

using namespace zr;
using zr::testing::Zrreg;
using Clock = std::chrono::steady_clock;

namespace {

constexpr auto Quiet = std::chrono::milliseconds(300);
constexpr auto Patience = std::chrono::seconds(5);

// Serves the main thread's side of Synchronize for a while, or until `done`.
template <class Done>
bool PumpUntil(Done done, Clock::duration limit) {
    auto deadline = Clock::now() + limit;
    while (!done()) {
        if (Clock::now() > deadline) return false;
        TThread::CheckSynchronize(10);
    }
    return true;
}
void Pump(Clock::duration time) {
    PumpUntil([] { return false; }, time);
}

// How many inotify watches of this process are on `folder`: the watcher is
// armed once its notification watches the key's folder.
int WatchesOn(const std::string& folder) {
    struct stat st {};
    if (::stat(folder.c_str(), &st) != 0) return 0;
    char inode[32];
    std::snprintf(inode, sizeof inode, " ino:%lx ", static_cast<unsigned long>(st.st_ino));
    int count = 0;
    DIR* dir = ::opendir("/proc/self/fdinfo");
    while (dirent* entry = dir ? ::readdir(dir) : nullptr) {
        std::ifstream info(std::string("/proc/self/fdinfo/") + entry->d_name);
        for (std::string line; std::getline(info, line);)
            if (line.rfind("inotify wd:", 0) == 0 && line.find(inode) != std::string::npos) ++count;
    }
    if (dir) ::closedir(dir);
    return count;
}

class RegistryLogThread : public zr::testing::ScratchRegistry {
  protected:
    void SetUp() override {
        ScratchRegistry::SetUp();
        MakeKey("Software\\Varnholt\\Deep");
    }
    void TearDown() override {
        owner_.reset();  // the components end their watchers first
        ScratchRegistry::TearDown();
    }

    // A component owned by the test, counting its events.
    TKVRegistryLog* NewLog(int& events, const std::string& key = "Software\\Varnholt") {
        auto* log = new TKVRegistryLog(owner_.get());
        log->SetKey(key);
        log->SetOnRegistryNotification(
            TNotifyEvent::FromFunction([&events](TObject*) { ++events; }));
        return log;
    }
    std::string Folder(const std::string& key) const {
        std::string path = store_ + "/HKEY_LOCAL_MACHINE/" + key;
        for (char& c : path)
            if (c == '\\') c = '/';
        return path;
    }
    // Waits until `count` notifications are armed on the key.
    bool Armed(const std::string& key, int count = 1) const {
        return PumpUntil([&] { return WatchesOn(Folder(key)) >= count; }, Patience);
    }
    static void Change(const std::vector<std::string>& args) {
        auto result = Zrreg(args);
        ASSERT_EQ(result.Status, 0) << result.Output;
    }

    std::unique_ptr<TComponent> owner_ = std::make_unique<TComponent>(nullptr);
};

}  // namespace

TEST_F(RegistryLogThread, WithTheDefaultsOnlyDirectSubkeysAndAttributesAreReported) {
    int events = 0;
    TKVRegistryLog* log = NewLog(events);
    log->SetActive(true);
    ASSERT_TRUE(Armed("Software\\Varnholt"));

    Change({"set", "HKLM\\Software\\Varnholt", "Value", "sz", "x"});
    Change({"add", "HKLM\\Software\\Varnholt\\Deep\\Deeper"});
    Pump(Quiet);
    EXPECT_EQ(events, 0) << "a value, and a subkey below a subkey";

    Change({"add", "HKLM\\Software\\Varnholt\\Direct"});
    ASSERT_TRUE(PumpUntil([&] { return events == 1; }, Patience));
    ASSERT_TRUE(Armed("Software\\Varnholt"));
    Change({"delete", "HKLM\\Software\\Varnholt\\Direct"});
    ASSERT_TRUE(PumpUntil([&] { return events == 2; }, Patience));
    ASSERT_TRUE(Armed("Software\\Varnholt"));
    ASSERT_EQ(::chmod(Folder("Software\\Varnholt").c_str(), 0750), 0);
    ASSERT_TRUE(PumpUntil([&] { return events == 3; }, Patience));
    Pump(Quiet);
    EXPECT_EQ(events, 3) << "one event per change";
}

TEST_F(RegistryLogThread, WatchSubFoldersReportsChangesFurtherDown) {
    int events = 0;
    TKVRegistryLog* log = NewLog(events);
    log->SetOptions({roLastSet, roWatchSubFolders});
    log->SetActive(true);
    ASSERT_TRUE(Armed("Software\\Varnholt\\Deep"));
    Change({"set", "HKLM\\Software\\Varnholt\\Deep", "Value", "dword", "1"});
    EXPECT_TRUE(PumpUntil([&] { return events == 1; }, Patience));
}

TEST_F(RegistryLogThread, AKeyThatCannotBeOpenedEndsTheWatcherQuietly) {
    int events = 0;
    TKVRegistryLog* log = NewLog(events, "Software\\Missing");
    log->SetActive(true);
    ASSERT_NE(log->NotificationThread(), nullptr);
    log->NotificationThread()->WaitFor();  // ends at once: there is nothing to watch

    Exception* failure = log->NotificationThread()->FatalException();
    ASSERT_NE(failure, nullptr);
    EXPECT_STREQ(failure->ClassName(), "ERegistryNotificationError");
    EXPECT_EQ(failure->Message(), "Unable to open registry keySoftware\\Missing");
    EXPECT_TRUE(log->Active());
    EXPECT_EQ(Zrreg({"query", "HKLM\\Software\\Missing"}).Status, 1) << "not created";
    Change({"add", "HKLM\\Software\\Missing"});
    Pump(Quiet);
    EXPECT_EQ(events, 0);
}

TEST_F(RegistryLogThread, OneWatcherWhileActiveAndNoneAfterwards) {
    int events = 0;
    TKVRegistryLog* log = NewLog(events);
    log->SetActive(true);
    log->SetActive(true);  // replaces the watcher: never two
    ASSERT_TRUE(Armed("Software\\Varnholt"));
    Pump(Quiet);
    EXPECT_EQ(WatchesOn(Folder("Software\\Varnholt")), 1);
    Change({"add", "HKLM\\Software\\Varnholt\\Once"});
    ASSERT_TRUE(PumpUntil([&] { return events == 1; }, Patience));
    Pump(Quiet);
    EXPECT_EQ(events, 1);

    log->SetActive(false);
    EXPECT_EQ(log->NotificationThread(), nullptr);
    Change({"add", "HKLM\\Software\\Varnholt\\Again"});
    Pump(Quiet);
    EXPECT_EQ(events, 1);
}

TEST_F(RegistryLogThread, EachComponentHearsOnlyItsOwnKey) {
    MakeKey("Software\\Other");
    int varnholt = 0;
    int other = 0;
    NewLog(varnholt)->SetActive(true);
    NewLog(other, "Software\\Other")->SetActive(true);
    ASSERT_TRUE(Armed("Software\\Varnholt"));
    ASSERT_TRUE(Armed("Software\\Other"));

    Change({"add", "HKLM\\Software\\Other\\Child"});
    ASSERT_TRUE(PumpUntil([&] { return other == 1; }, Patience));
    Pump(Quiet);
    EXPECT_EQ(varnholt, 0);
}

TEST_F(RegistryLogThread, ActivationReadFromAFormFileWaitsForTheOtherSettings) {
    MakeKey("Software\\FromForm");
    auto* log =
        static_cast<TKVRegistryLog*>(ReadComponentFromText("object RegistryLog1: TKVRegistryLog\n"
                                                           "  Active = True\n"
                                                           "  Key = 'Software\\FromForm'\n"
                                                           "  Options = [roLastSet]\n"
                                                           "end\n",
                                                           owner_.get()));
    int events = 0;
    log->SetOnRegistryNotification(TNotifyEvent::FromFunction([&events](TObject*) { ++events; }));
    ASSERT_NE(log->NotificationThread(), nullptr);
    ASSERT_TRUE(Armed("Software\\FromForm"));
    EXPECT_EQ(log->NotificationThread()->FatalException(), nullptr);
    Change({"set", "HKLM\\Software\\FromForm", "Value", "sz", "x"});
    EXPECT_TRUE(PumpUntil([&] { return events == 1; }, Patience));
}

TEST_F(RegistryLogThread, EndingTheWatcherWithAReportPendingRaisesNothing) {
    int events = 0;
    TKVRegistryLog* log = NewLog(events);
    log->SetActive(true);
    ASSERT_TRUE(Armed("Software\\Varnholt"));
    Change({"add", "HKLM\\Software\\Varnholt\\Pending"});
    // Nothing pumps: the worker now waits in Synchronize with its report.
    std::this_thread::sleep_for(Quiet);
    auto started = Clock::now();
    delete log;
    EXPECT_LT(Clock::now() - started, Patience);
    Pump(Quiet);
    EXPECT_EQ(events, 0);
}

TEST_F(RegistryLogThread, AHandlerMayEndTheWatchThatReportedToIt) {
    int events = 0;
    TKVRegistryLog* log = NewLog(events);
    log->SetOnRegistryNotification(TNotifyEvent::FromFunction([&](TObject*) {
        ++events;
        log->SetActive(false);  // the worker waits for this handler meanwhile
    }));
    log->SetActive(true);
    ASSERT_TRUE(Armed("Software\\Varnholt"));
    Change({"add", "HKLM\\Software\\Varnholt\\Stop"});
    ASSERT_TRUE(PumpUntil([&] { return events == 1; }, Patience));
    EXPECT_EQ(log->NotificationThread(), nullptr);
    EXPECT_TRUE(PumpUntil([&] { return WatchesOn(Folder("Software\\Varnholt")) == 0; }, Patience))
        << "the abandoned watcher ended";
    Change({"add", "HKLM\\Software\\Varnholt\\Again"});
    Pump(Quiet);
    EXPECT_EQ(events, 1);
}

TEST_F(RegistryLogThread, AHandlerMayFreeItsOwnLog) {
    // The closure that runs belongs to the log it frees: what it captured
    // must still be there after the delete (ASan reports a use after free).
    int events = 0;
    TKVRegistryLog* log = NewLog(events);
    std::string heard;
    log->SetOnRegistryNotification(TNotifyEvent::FromFunction(
        [&log, &heard, name = std::string("the handler's own capture")](TObject*) {
            delete log;
            log = nullptr;
            heard = name;
        }));
    log->SetActive(true);
    ASSERT_TRUE(Armed("Software\\Varnholt"));
    Change({"add", "HKLM\\Software\\Varnholt\\Free"});
    ASSERT_TRUE(PumpUntil([&] { return log == nullptr; }, Patience));
    EXPECT_EQ(heard, "the handler's own capture");
}

TEST_F(RegistryLogThread, AFailingHandlerGoesToTheApplicationAndWatchingGoesOn) {
    int failures = 0;
    auto previous = SetDispatchExceptionHandler([&] { ++failures; });
    int events = 0;
    TKVRegistryLog* log = NewLog(events);
    log->SetOnRegistryNotification(TNotifyEvent::FromFunction([&](TObject*) {
        if (++events == 1) throw EAbort("handler failed");
    }));
    log->SetActive(true);
    ASSERT_TRUE(Armed("Software\\Varnholt"));
    Change({"add", "HKLM\\Software\\Varnholt\\First"});
    ASSERT_TRUE(PumpUntil([&] { return events == 1; }, Patience));
    ASSERT_TRUE(Armed("Software\\Varnholt"));
    Change({"add", "HKLM\\Software\\Varnholt\\Second"});
    EXPECT_TRUE(PumpUntil([&] { return events == 2; }, Patience)) << "the watcher died";
    SetDispatchExceptionHandler(previous);
    EXPECT_EQ(failures, 1);
    EXPECT_EQ(log->NotificationThread()->FatalException(), nullptr);
}
