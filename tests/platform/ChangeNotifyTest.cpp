#include "platform/ChangeNotify.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "core/LogTestSupport.h"
#include "support/InotifyLimit.h"

using namespace zr::os;

namespace {

constexpr DWORD kKinds[] = {FILE_NOTIFY_CHANGE_FILE_NAME, FILE_NOTIFY_CHANGE_DIR_NAME,
                            FILE_NOTIFY_CHANGE_ATTRIBUTES, FILE_NOTIFY_CHANGE_SIZE,
                            FILE_NOTIFY_CHANGE_LAST_WRITE};

class ChangeNotify : public zr::testing::ScratchFolder {
  protected:
    void TearDown() override {
        for (HANDLE h : open_) FindCloseChangeNotification(h);
        ScratchFolder::TearDown();
    }
    HANDLE Watch(const std::string& path, bool subtree, DWORD filter) {
        HANDLE h = FindFirstChangeNotificationA(path.c_str(), subtree ? TRUE : FALSE, filter);
        EXPECT_NE(h, INVALID_HANDLE_VALUE) << path;
        if (h != INVALID_HANDLE_VALUE) open_.push_back(h);
        return h;
    }
    // inotify queues an event while the call that caused it runs, so once a
    // change has returned, whether a handle is signalled is known at once.
    static bool Signalled(HANDLE h) { return WaitForSingleObject(h, 0) == WAIT_OBJECT_0; }
    void MakeFile(const std::string& name, const std::string& content = "") {
        std::ofstream(Path(name)) << content;
    }
    std::vector<HANDLE> open_;
};

TEST_F(ChangeNotify, EachFilterSignalsForItsOwnKindOfChangeOnly) {
    MakeFile("existing");
    struct Case {
        const char* change;
        std::function<void()> make;
        std::vector<bool> expected;  // file, folder, attributes, size, last write
    };
    const std::vector<Case> cases = {
        {"create an empty file",
         [&] { close(open(Path("new").c_str(), O_CREAT | O_WRONLY, 0644)); },
         {true, false, false, false, false}},
        {"make a folder",
         [&] { mkdir(Path("sub").c_str(), 0755); },
         {false, true, false, false, false}},
        {"change permissions",
         [&] { chmod(Path("existing").c_str(), 0600); },
         {false, false, true, false, false}},
        {"set a file's times (touch, utime)",
         [&] {
             const timespec past[2] = {{1000000, 0}, {1000000, 0}};
             utimensat(AT_FDCWD, Path("existing").c_str(), past, 0);
         },
         {false, false, true, false, true}},
        {"write to a file",
         [&] { MakeFile("existing", "bytes"); },
         {false, false, false, true, true}},
        {"rename a file",
         [&] { rename(Path("new").c_str(), Path("renamed").c_str()); },
         {true, false, false, false, false}},
        {"remove a folder",
         [&] { rmdir(Path("sub").c_str()); },
         {false, true, false, false, false}},
    };
    std::vector<HANDLE> handles;
    for (DWORD kind : kKinds) handles.push_back(Watch(dir_, false, kind));
    for (const Case& c : cases) {
        c.make();
        for (std::size_t i = 0; i < handles.size(); ++i) {
            EXPECT_EQ(Signalled(handles[i]), c.expected[i]) << c.change << ", filter " << kKinds[i];
            FindNextChangeNotification(handles[i]);
        }
    }
}

TEST_F(ChangeNotify, StaysSignalledUntilRearmedAndKeepsWhatChangedMeanwhile) {
    HANDLE h = Watch(dir_, false, FILE_NOTIFY_CHANGE_FILE_NAME);
    HANDLE idle = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE both[] = {idle, h};
    EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, 0), WAIT_TIMEOUT);
    MakeFile("a");
    EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, 1000), WAIT_OBJECT_0 + 1);
    EXPECT_TRUE(Signalled(h)) << "a wait does not take the signal";
    MakeFile("b");
    EXPECT_TRUE(FindNextChangeNotification(h));
    EXPECT_TRUE(Signalled(h)) << "the change made while signalled was lost by the re-arm";
    EXPECT_TRUE(FindNextChangeNotification(h));
    EXPECT_FALSE(Signalled(h));
    CloseHandle(idle);
}

TEST_F(ChangeNotify, SubtreeWatchFollowsFoldersMadeOrMovedInLater) {
    HANDLE tree = Watch(dir_, true, FILE_NOTIFY_CHANGE_FILE_NAME);
    HANDLE top = Watch(dir_, false, FILE_NOTIFY_CHANGE_FILE_NAME);
    std::filesystem::create_directories(Path("old/deep"));
    EXPECT_FALSE(Signalled(tree)) << "making folders is no file name change";
    MakeFile("old/deep/f");
    EXPECT_TRUE(Signalled(tree));
    EXPECT_FALSE(Signalled(top)) << "a watch without subtree saw a change below its folder";
    FindNextChangeNotification(tree);

    // Files made in a new folder before anything read its creation: only a
    // scan of the folder once it is watched can find them.
    std::filesystem::create_directories(Path("new/a/b"));
    MakeFile("new/a/b/f");
    EXPECT_TRUE(Signalled(tree));
    FindNextChangeNotification(tree);
    MakeFile("new/a/b/g");
    EXPECT_TRUE(Signalled(tree)) << "the new folder has no watch of its own";
    FindNextChangeNotification(tree);

    std::filesystem::rename(Path("new"), Path("renamed"));
    MakeFile("renamed/a/b/h");
    EXPECT_TRUE(Signalled(tree)) << "a change right after its folder was renamed was lost";
    FindNextChangeNotification(tree);
    MakeFile("renamed/a/b/i");
    EXPECT_TRUE(Signalled(tree)) << "a renamed folder is no longer watched";
    FindNextChangeNotification(tree);

    const std::string outside = dir_ + "-outside";
    std::filesystem::create_directories(outside + "/moved");
    std::filesystem::rename(outside + "/moved", Path("moved"));
    EXPECT_FALSE(Signalled(tree));
    MakeFile("moved/f");
    EXPECT_TRUE(Signalled(tree)) << "a folder moved in is not watched";
    FindNextChangeNotification(tree);
    std::filesystem::rename(Path("moved"), outside + "/gone");
    FindNextChangeNotification(tree);
    std::ofstream(outside + "/gone/f2") << "";
    EXPECT_FALSE(Signalled(tree)) << "a folder moved away is still watched";
    std::filesystem::remove_all(outside);
}

TEST_F(ChangeNotify, FoldersThatCannotBeWatchedGiveAnInvalidHandle) {
    MakeFile("file");
    struct Case {
        std::string path;
        DWORD filter;
        DWORD error;
    } cases[] = {
        {"", FILE_NOTIFY_CHANGE_FILE_NAME, ERROR_PATH_NOT_FOUND},
        {Path("missing"), FILE_NOTIFY_CHANGE_FILE_NAME, ERROR_PATH_NOT_FOUND},
        {Path("file"), FILE_NOTIFY_CHANGE_FILE_NAME, ERROR_DIRECTORY},
        {dir_, 0, ERROR_INVALID_PARAMETER},
        {dir_, 0x8000, ERROR_INVALID_PARAMETER},
    };
    for (const Case& c : cases) {
        SetLastError(0);
        EXPECT_EQ(FindFirstChangeNotificationA(c.path.c_str(), FALSE, c.filter),
                  INVALID_HANDLE_VALUE)
            << c.path;
        EXPECT_EQ(GetLastError(), c.error) << c.path;
    }
    EXPECT_FALSE(FindNextChangeNotification(INVALID_HANDLE_VALUE));
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    EXPECT_FALSE(FindCloseChangeNotification(event)) << "closed a handle of another kind";
    EXPECT_TRUE(CloseHandle(event));
}

TEST_F(ChangeNotify, AnUnreadableFolderGivesAnInvalidHandle) {
    if (geteuid() == 0) GTEST_SKIP() << "root reads every folder";
    std::filesystem::create_directories(Path("locked"));
    chmod(Path("locked").c_str(), 0);
    EXPECT_EQ(
        FindFirstChangeNotificationA(Path("locked").c_str(), FALSE, FILE_NOTIFY_CHANGE_FILE_NAME),
        INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    chmod(Path("locked").c_str(), 0755);
}

using zr::testing::LimitedAddWatch;
using zr::testing::watchesLeft;

TEST_F(ChangeNotify, ATreeBeyondTheWatchLimitIsRefusedNotWatchedInPart) {
    std::filesystem::create_directories(Path("a/b/c"));
    watchesLeft = 3;
    TInotifyAddWatch previous = SetInotifyAddWatch(LimitedAddWatch);
    HANDLE h = FindFirstChangeNotificationA(dir_.c_str(), TRUE, FILE_NOTIFY_CHANGE_FILE_NAME);
    DWORD error = GetLastError();
    SetInotifyAddWatch(previous);
    EXPECT_EQ(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(error, ERROR_NOT_ENOUGH_QUOTA);
    EXPECT_NE(ChangeNotificationErrorText(error).find("fs.inotify.max_user_watches"),
              std::string::npos);
}

TEST_F(ChangeNotify, AnOverflowingQueueSignalsWhateverTheFilter) {
    int queued = 16384;
    std::ifstream("/proc/sys/fs/inotify/max_queued_events") >> queued;
    if (queued > 100000) GTEST_SKIP() << "the event queue is too long to fill here";
    // A subtree watch queues every rename to follow moved folders, though
    // its filter asks only for attributes.
    MakeFile("a");
    HANDLE h = Watch(dir_, true, FILE_NOTIFY_CHANGE_ATTRIBUTES);
    for (int i = 0; i <= queued / 2; ++i) {
        rename(Path("a").c_str(), Path("b").c_str());
        rename(Path("b").c_str(), Path("a").c_str());
    }
    EXPECT_TRUE(Signalled(h));
}

// Events are read in blocks; a rename whose first half ends one block has
// its second half at the start of the next, and is no move out and back in
// (that would drop the folder's watch and what is queued from it).
TEST_F(ChangeNotify, ARenameSplitBetweenTwoReadsKeepsTheFolderWatched) {
    // An event named by 239 characters takes 256 bytes: 255 of them and the
    // rename's first half end a 64 KB block, and so any smaller block of a
    // power of two.
    const auto named = [](std::string name) { return name.append(239 - name.size(), 'x'); };
    constexpr int kBefore = 65536 / 256 - 1;
    const std::string folder = named("sub");
    std::filesystem::create_directories(Path(folder));
    MakeFile(folder + "/f");
    // Making files is no change of attributes: nothing is read until the wait.
    HANDLE h = Watch(dir_, true, FILE_NOTIFY_CHANGE_ATTRIBUTES);
    for (int i = 0; i < kBefore; ++i)
        close(open(Path(named("f" + std::to_string(i))).c_str(), O_CREAT | O_WRONLY, 0644));
    std::filesystem::rename(Path(folder), Path("renamed"));
    chmod(Path("renamed/f").c_str(), 0600);
    EXPECT_TRUE(Signalled(h)) << "the renamed folder lost its watch";
}

}  // namespace

namespace {
int standInWatches = 0;
int StandInWatch(int, const char*, std::uint32_t) {
    return ++standInWatches;
}
}  // namespace

// Watches are found by path: a folder whose name only begins like the moved
// one ("b-c" beside "b") sorts between "b" and what lies below "b".
TEST(InotifyTreeTest, AMoveTakesTheFolderAndWhatIsBelowItNothingElse) {
    standInWatches = 0;
    TInotifyTree tree(-1, 0, true, &StandInWatch);
    tree.AddRoot("/gone-root");
    for (const char* folder :
         {"/gone-root/b", "/gone-root/b-c", "/gone-root/b/d", "/gone-root/b/d/e", "/gone-root/bz"})
        tree.AddFolder(folder, nullptr);
    tree.Rename("/gone-root/b", "/gone-root/x");
    std::vector<std::string> folders = tree.Folders();
    std::sort(folders.begin(), folders.end());
    EXPECT_EQ(folders,
              (std::vector<std::string>{"/gone-root", "/gone-root/b-c", "/gone-root/bz",
                                        "/gone-root/x", "/gone-root/x/d", "/gone-root/x/d/e"}));
    tree.RemoveBelow("/gone-root/x");
    EXPECT_EQ(tree.WatchCount(), 3u);
    EXPECT_EQ(tree.PathOf(2), nullptr);
    ASSERT_NE(tree.PathOf(3), nullptr);
    EXPECT_EQ(*tree.PathOf(3), "/gone-root/b-c");
}
