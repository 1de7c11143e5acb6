#include "watchers/LogShell.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "framework/Application.h"
#include "framework/MessageQueue.h"
#include "framework/SessionEnd.h"
#include "platform/ShellNotify.h"
#include "support/ScratchFolder.h"

using namespace zr;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

// A scratch folder named for these tests.
class TempFolder : public zr::testing::TScratchFolder {
  public:
    TempFolder() : TScratchFolder("zr-shelllog") {}
};

void Touch(const std::string& path) {
    std::ofstream(path) << "x";
}

// Writes down every event of a shell log as "Event(path, path)".
class Events {
  public:
    explicit Events(TKVShellLog& log) {
        auto one = [this](const char* name) {
            return TKVLShellNotificationEvent1::FromFunction(
                [this, name](TObject*, const std::string& v) {
                    seen.push_back(std::string(name) + "(" + v + ")");
                });
        };
        auto two = [this](const char* name) {
            return TKVLShellNotificationEvent2::FromFunction(
                [this, name](TObject*, const std::string& a, const std::string& b) {
                    seen.push_back(std::string(name) + "(" + a + ", " + b + ")");
                });
        };
        auto none = [this](const char* name) {
            return TNotifyEvent::FromFunction([this, name](TObject*) { seen.push_back(name); });
        };
        log.SetOnAssociationChange(none("AssociationChange"));
        log.SetOnAttributesChange(two("AttributesChange"));
        log.SetOnFileCreate(one("FileCreate"));
        log.SetOnFileDelete(one("FileDelete"));
        log.SetOnDriveAdd(one("DriveAdd"));
        log.SetOnDriveAddGui(one("DriveAddGui"));
        log.SetOnDriveRemove(one("DriveRemove"));
        log.SetOnMediaInserted(one("MediaInserted"));
        log.SetOnMediaRemove(one("MediaRemove"));
        log.SetOnFolderCreate(one("FolderCreate"));
        log.SetOnNetShare(one("NetShare"));
        log.SetOnNetUnShare(one("NetUnShare"));
        log.SetOnFolderRename(two("FolderRename"));
        log.SetOnFileRename(two("FileRename"));
        log.SetOnFolderRemove(one("FolderRemove"));
        log.SetOnServerDisconnect(one("ServerDisconnect"));
        log.SetOnFolderUpdate(one("FolderUpdate"));
        log.SetOnEndSessionQuery(none("EndSessionQuery"));
    }

    // Runs the application's queue until `count` events came or the time
    // is up; with no count, for a short while to let late ones in.
    void WaitFor(std::size_t count = static_cast<std::size_t>(-1),
                 std::chrono::milliseconds limit = 150ms) {
        if (count != static_cast<std::size_t>(-1)) limit = 3s;
        const auto end = std::chrono::steady_clock::now() + limit;
        while (seen.size() < count && std::chrono::steady_clock::now() < end) {
            Application->ProcessMessages();
            WaitMessageTimeout(10);
        }
        Application->ProcessMessages();
    }

    std::vector<std::string> seen;
};

using Seen = std::vector<std::string>;

}  // namespace

TEST(LogShellThreadTest, FilesInTheFolderAndBelowItOnlyWithWatchSubTree) {
    TempFolder folder;
    fs::create_directories(folder / "sub");
    TKVShellLog log(nullptr);
    Events events(log);
    log.SetOptions({lnFileCreate});
    log.SetPath(folder.Path());
    log.SetActive(true);
    ASSERT_TRUE(log.Active());

    Touch(folder / "sub/below");
    Touch(folder / "top");
    events.WaitFor(1);
    events.WaitFor();
    EXPECT_EQ(events.seen, Seen{"FileCreate(" + (folder / "top") + ")"});

    events.seen.clear();
    log.SetWatchSubTree(true);  // re-registers at once
    Touch(folder / "sub/again");
    events.WaitFor(1);
    EXPECT_EQ(events.seen, Seen{"FileCreate(" + (folder / "sub/again") + ")"});
}

TEST(LogShellThreadTest, AFolderRenamedNamesOldAndNew) {
    TempFolder folder;
    fs::create_directories(folder / "old");
    TKVShellLog log(nullptr);
    Events events(log);
    log.SetPath(folder.Path());
    log.SetOptions({lnFolderRename, lnFileRename});
    log.SetActive(true);
    fs::rename(folder / "old", folder / "new");
    events.WaitFor(1);
    EXPECT_EQ(events.seen,
              Seen{"FolderRename(" + (folder / "old") + ", " + (folder / "new") + ")"});
}

TEST(LogShellThreadTest, ChangingPathWhileActiveMovesTheWatch) {
    TempFolder first, second;
    TKVShellLog log(nullptr);
    Events events(log);
    log.SetOptions({lnFileCreate});
    log.SetPath(first.Path());
    log.SetActive(true);
    log.SetPath(second.Path());
    ASSERT_TRUE(log.Active());
    Touch(first / "not-watched");
    Touch(second / "watched");
    events.WaitFor(1);
    events.WaitFor();
    EXPECT_EQ(events.seen, Seen{"FileCreate(" + (second / "watched") + ")"});
}

// Identical notifications in a row raise once; what comes between them, even
// a kind that raises no event of its own, lets the next one through.
TEST(LogShellThreadTest, RepeatedNotificationsRaiseOnce) {
    TempFolder folder;
    TKVShellLog log(nullptr);
    Events events(log);
    log.SetPath(folder.Path());
    log.SetOptions({lnNetShare, lnFileChange, lnDriveSpaceChange, lnImageListChange});
    log.SetActive(true);
    using namespace zr::os;
    SHChangeNotify(SHCNE_NETSHARE, SHCNF_PATHA, "/srv/Public", nullptr);
    SHChangeNotify(SHCNE_NETSHARE, SHCNF_PATHA, "/SRV/public", nullptr);  // ASCII case only
    SHChangeNotify(SHCNE_FREESPACE, SHCNF_PATHA, "/srv", nullptr);
    SHChangeNotify(SHCNE_NETSHARE, SHCNF_PATHA, "/srv/Public", nullptr);
    SHChangeNotify(SHCNE_UPDATEIMAGE, 0, nullptr, nullptr);
    SHChangeNotify(SHCNE_NETSHARE, SHCNF_PATHA, "/srv/Public", nullptr);
    SHChangeNotify(SHCNE_UPDATEITEM, SHCNF_PATHA, (folder / "file").c_str(), nullptr);
    SHChangeNotify(SHCNE_NETSHARE, SHCNF_PATHA, "/srv/Public", nullptr);
    SHChangeNotify(SHCNE_NETSHARE, SHCNF_PATHA, "/srv/Públic", nullptr);  // not ASCII: differs
    events.WaitFor(5);
    events.WaitFor();
    EXPECT_EQ(events.seen,
              (Seen{"NetShare(/srv/Public)", "NetShare(/srv/Public)", "NetShare(/srv/Public)",
                    "NetShare(/srv/Public)", "NetShare(/srv/Públic)"}));
}

TEST(LogShellThreadTest, FolderUpdateAndServerDisconnectNameThePathProperty) {
    TempFolder folder;
    TKVShellLog log(nullptr);
    Events events(log);
    log.SetPath(folder.Path() + "/");  // as the user typed it
    log.SetOptions({lnFolderUpdate, lnServerDisconnect});
    log.SetActive(true);
    using namespace zr::os;
    SHChangeNotify(SHCNE_UPDATEDIR, SHCNF_PATHA, (folder / "sub").c_str(), nullptr);
    SHChangeNotify(SHCNE_SERVERDISCONNECT, SHCNF_PATHA, "/net/other", nullptr);
    events.WaitFor(2);
    EXPECT_EQ(events.seen, (Seen{"FolderUpdate(" + folder.Path() + "/)",
                                 "ServerDisconnect(" + folder.Path() + "/)"}));
}

TEST(LogShellThreadTest, AnEmptyPathWatchesTheHomeFolder) {
    TempFolder home;
    const char* saved = std::getenv("HOME");
    const std::string savedValue = saved ? saved : "";
    setenv("HOME", home.Path().c_str(), 1);
    TKVShellLog log(nullptr);
    Events events(log);
    log.SetOptions({lnFolderCreate});
    log.SetActive(true);
    if (saved) {
        setenv("HOME", savedValue.c_str(), 1);
    } else {
        unsetenv("HOME");
    }
    ASSERT_TRUE(log.Active());
    fs::create_directory(home / "made");
    events.WaitFor(1);
    EXPECT_EQ(events.seen, Seen{"FolderCreate(" + (home / "made") + ")"});
}

TEST(LogShellTest, AStoredActiveRegistersOnlyAfterBeingSwitchedOff) {
    TempFolder folder;
    TKVShellLog log(nullptr);
    log.SetComponentStateFlag(csLoading, true);  // as the form reader does
    log.SetPath(folder.Path());
    log.SetActive(true);
    log.SetComponentStateFlag(csLoading, false);
    log.Loaded();
    EXPECT_FALSE(log.Active());
    log.SetActive(true);
    EXPECT_FALSE(log.Active()) << "True was asked for already";
    log.SetActive(false);
    log.SetActive(true);
    EXPECT_TRUE(log.Active());
}

TEST(LogShellTest, AFolderThatCannotBeWatchedLeavesActiveFalse) {
    TempFolder folder;
    TKVShellLog log(nullptr);
    log.SetOptions({lnFileCreate});
    log.SetPath(folder / "missing");
    log.SetActive(true);
    EXPECT_FALSE(log.Active());
    // Once the folder is there, naming it again registers.
    fs::create_directory(folder / "missing");
    log.SetPath(folder / "missing");
    EXPECT_TRUE(log.Active());
}

TEST(LogShellTest, TheEndOfTheSessionIsAllowedAndReportedOnlyWhenAskedFor) {
    TKVShellLog log(nullptr);
    Events events(log);
    EXPECT_TRUE(QueryEndSession()) << "the window does not refuse the end";
    EXPECT_TRUE(events.seen.empty());
    log.SetOptions({lnEndSessionQuery});
    EXPECT_TRUE(QueryEndSession());
    EXPECT_EQ(SendMessage(log.NotifyWindow(), WM_QUERYENDSESSION), 1);
    EXPECT_EQ(events.seen, (Seen{"EndSessionQuery", "EndSessionQuery"}));
}

TEST(LogShellTest, AssociationChangesNeedTheirOption) {
    // Another registration of the same window may deliver the event without
    // the option: it is still not raised.
    TKVShellLog log(nullptr);
    Events events(log);
    SendMessage(log.NotifyWindow(), WM_USER + 1, 0, zr::os::SHCNE_ASSOCCHANGED);
    EXPECT_TRUE(events.seen.empty());
    log.SetOptions({lnAssociationChange});
    SendMessage(log.NotifyWindow(), WM_USER + 1, 0, zr::os::SHCNE_UPDATEITEM);  // not a repeat now
    os::LPCITEMIDLIST none[2] = {nullptr, nullptr};
    SendMessage(log.NotifyWindow(), WM_USER + 1, reinterpret_cast<WPARAM>(none),
                zr::os::SHCNE_ASSOCCHANGED | zr::os::SHCNE_INTERRUPT);
    EXPECT_EQ(events.seen, Seen{"AssociationChange"});
}

TEST(LogShellTest, AHandlerMayFreeItsOwnLog) {
    // The closure that runs belongs to the log it frees: what it captured
    // must still be there after the delete (ASan reports a use after free).
    auto* log = new TKVShellLog(nullptr);
    std::string heard;
    log->SetOptions({lnEndSessionQuery});
    log->SetOnEndSessionQuery(TNotifyEvent::FromFunction(
        [&log, &heard, name = std::string("the handler's own capture")](TObject*) {
            delete log;
            log = nullptr;
            heard = name;
        }));
    EXPECT_EQ(SendMessage(log->NotifyWindow(), WM_QUERYENDSESSION), 1);
    EXPECT_EQ(log, nullptr);
    EXPECT_EQ(heard, "the handler's own capture");
}
