#include "platform/ShellNotify.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "framework/MessageQueue.h"
#include "framework/ShellNotifyRelay.h"
#include "platform/MountTable.h"
#include "support/ScratchFolder.h"

using namespace zr;
using namespace zr::os;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

constexpr UINT Notification = WM_USER + 1;

struct Received {
    LONG event;
    std::string item1, item2;
    bool operator==(const Received&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Received& r) {
    return out << std::hex << r.event << std::dec << "(" << r.item1 << ", " << r.item2 << ")";
}

std::string PathOf(LPCITEMIDLIST pidl) {
    char buffer[MAX_PATH];
    return SHGetPathFromIDListA(pidl, buffer) ? buffer : "";
}

// A hidden window that records the notifications it receives, reading the
// item lists while its procedure runs, as the delivery allows.
class Recorder {
  public:
    Recorder() {
        InstallShellNotifyRelay();
        window_ = AllocateHWnd(TWndMethod::FromFunction([this](TMessage& m) {
            if (m.Msg != Notification) return;
            auto* items = reinterpret_cast<const LPCITEMIDLIST*>(m.WParam);
            seen.push_back({static_cast<LONG>(m.LParam), PathOf(items[0]), PathOf(items[1])});
        }));
    }
    ~Recorder() {
        for (ULONG id : ids_) SHChangeNotifyDeregister(id);
        DeallocateHWnd(window_);
    }
    HWND Window() const { return window_; }

    ULONG Register(const std::string& folder, bool recursive, LONG events,
                   int sources = SHCNRF_InterruptLevel | SHCNRF_ShellLevel) {
        LPITEMIDLIST pidl = nullptr;
        if (!folder.empty()) {
            EXPECT_EQ(SHILCreateFromPath(folder.c_str(), &pidl, nullptr), S_OK);
        }
        SHChangeNotifyEntry entry{pidl, recursive ? TRUE : FALSE};
        ULONG id = SHChangeNotifyRegister(window_, sources, events, Notification, 1, &entry);
        IMalloc* malloc = nullptr;
        SHGetMalloc(&malloc);
        malloc->Free(pidl);  // the registration keeps its own copy
        if (id != 0) ids_.push_back(id);
        return id;
    }

    // Dispatches the main thread's queue until `count` notifications came or
    // the time is up.
    void WaitFor(std::size_t count, std::chrono::milliseconds limit = 3s) {
        const auto end = std::chrono::steady_clock::now() + limit;
        while (seen.size() < count && std::chrono::steady_clock::now() < end) {
            TMsg msg;
            while (PeekMessage(msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessage(msg);
            WaitMessageTimeout(10);
        }
    }
    // Lets late notifications arrive.
    void Settle() { WaitFor(static_cast<std::size_t>(-1), 150ms); }

    std::vector<Received> seen;

  private:
    HWND window_ = nullptr;
    std::vector<ULONG> ids_;
};

// A scratch folder named for these tests.
class TempFolder : public zr::testing::TScratchFolder {
  public:
    TempFolder() : TScratchFolder("zr-shell") {}
};

void Touch(const std::string& path) {
    std::ofstream(path) << "x";
}

constexpr LONG I = SHCNE_INTERRUPT;

}  // namespace

// ---- item id lists -----------------------------------------------------------------

TEST(ShellItemIDListTest, PathsGoInAndComeOutWholeOrNotAtAll) {
    TempFolder folder;
    const std::string cwd = fs::current_path().string();
    fs::current_path(folder.Path());
    LPITEMIDLIST pidl = nullptr;
    DWORD attributes = SFGAO_FOLDER | SFGAO_FILESYSTEM;
    HRESULT made = SHILCreateFromPath("./", &pidl, &attributes);
    fs::current_path(cwd);
    ASSERT_EQ(made, S_OK) << "a relative path is taken from the current folder";
    EXPECT_EQ(PathOf(pidl), folder.Path()) << "absolute, without the trailing slash";
    EXPECT_EQ(attributes, SFGAO_FOLDER | SFGAO_FILESYSTEM);
    IMalloc* malloc = nullptr;
    ASSERT_EQ(SHGetMalloc(&malloc), S_OK);
    malloc->Free(pidl);

    EXPECT_EQ(SHILCreateFromPath((folder / "missing").c_str(), &pidl, nullptr),
              HRESULT_FILE_NOT_FOUND);
    EXPECT_EQ(pidl, nullptr);

    // A path that does not fit the caller's MAX_PATH buffer is refused, not
    // written past its end.
    std::string deep = folder.Path();
    while (deep.size() < MAX_PATH + 20) deep += "/abcdefghijklmnopqrstuvwxyz";
    fs::create_directories(deep);
    ASSERT_EQ(SHILCreateFromPath(deep.c_str(), &pidl, nullptr), S_OK);
    char buffer[MAX_PATH + 64];
    std::fill(std::begin(buffer), std::end(buffer), '#');
    EXPECT_FALSE(SHGetPathFromIDListA(pidl, buffer));
    EXPECT_EQ(buffer[0], '\0');
    EXPECT_EQ(buffer[MAX_PATH], '#');
    malloc->Free(pidl);
    EXPECT_FALSE(SHGetPathFromIDListA(nullptr, buffer));
    malloc->Release();
}

// ---- the file system ----------------------------------------------------------------

TEST(ShellNotifyThreadTest, RenamesArePairedAndTheTreeFollowsThem) {
    TempFolder folder;
    fs::create_directories(folder / "inner/deep");
    TempFolder outside;
    Recorder recorder;
    ASSERT_NE(recorder.Register(folder.Path(), true,
                                SHCNE_CREATE | SHCNE_DELETE | SHCNE_RMDIR | SHCNE_MKDIR |
                                    SHCNE_RENAMEFOLDER | SHCNE_RENAMEITEM),
              0u);

    fs::rename(folder / "inner", folder / "renamed");
    Touch(folder / "renamed/deep/file");  // the watch of "deep" now lives under the new name
    fs::rename(folder / "renamed/deep/file", folder / "renamed/deep/moved");
    fs::rename(folder / "renamed/deep", outside / "deep");  // out: it is gone from here
    Touch(outside / "deep/after");                          // no longer ours
    fs::rename(outside / "deep", folder / "back");          // in: it is new here
    recorder.WaitFor(5);
    recorder.Settle();
    EXPECT_EQ(
        recorder.seen,
        (std::vector<Received>{
            {I | SHCNE_RENAMEFOLDER, folder / "inner", folder / "renamed"},
            {I | SHCNE_CREATE, folder / "renamed/deep/file", ""},
            {I | SHCNE_RENAMEITEM, folder / "renamed/deep/file", folder / "renamed/deep/moved"},
            {I | SHCNE_RMDIR, folder / "renamed/deep", ""},
            {I | SHCNE_MKDIR, folder / "back", ""},
        }));
}

TEST(ShellNotifyThreadTest, SubfoldersCountOnlyForARecursiveEntry) {
    TempFolder folder;
    Recorder flat, tree;
    ASSERT_NE(flat.Register(folder.Path(), false, SHCNE_CREATE | SHCNE_MKDIR), 0u);
    ASSERT_NE(tree.Register(folder.Path(), true, SHCNE_CREATE | SHCNE_MKDIR), 0u);
    // Made at once with its contents: what is in a new folder before its
    // watch is there is still reported.
    fs::create_directories(folder / "a/b");
    Touch(folder / "a/b/file");
    tree.WaitFor(3);
    flat.Settle();
    EXPECT_EQ(flat.seen, (std::vector<Received>{{I | SHCNE_MKDIR, folder / "a", ""}}));
    ASSERT_GE(tree.seen.size(), 3u);
    EXPECT_EQ(tree.seen[0], (Received{I | SHCNE_MKDIR, folder / "a", ""}));
    EXPECT_NE(std::find(tree.seen.begin(), tree.seen.end(),
                        Received{I | SHCNE_CREATE, folder / "a/b/file", ""}),
              tree.seen.end());
}

TEST(ShellNotifyThreadTest, NothingArrivesForARegistrationThatHasEnded) {
    TempFolder folder;
    Recorder recorder;
    ULONG id = recorder.Register(folder.Path(), false, SHCNE_CREATE);
    ASSERT_NE(id, 0u);
    Touch(folder / "one");
    SHChangeNotify(SHCNE_CREATE, SHCNF_PATHA, (folder / "two").c_str(), nullptr);
    std::this_thread::sleep_for(100ms);  // both are on their way now
    EXPECT_TRUE(SHChangeNotifyDeregister(id));
    EXPECT_FALSE(SHChangeNotifyDeregister(id));
    recorder.Settle();
    EXPECT_TRUE(recorder.seen.empty());
}

TEST(ShellNotifyThreadTest, TheAssociationsFileReportsAssociationChanges) {
    TempFolder config;
    const char* saved = std::getenv("XDG_CONFIG_HOME");
    const std::string savedValue = saved ? saved : "";
    setenv("XDG_CONFIG_HOME", config.Path().c_str(), 1);
    Recorder recorder;
    ULONG id = recorder.Register(config.Path(), false, SHCNE_ASSOCCHANGED);
    if (saved) {
        setenv("XDG_CONFIG_HOME", savedValue.c_str(), 1);
    } else {
        unsetenv("XDG_CONFIG_HOME");
    }
    ASSERT_NE(id, 0u);
    Touch(config / "other.list");
    Touch(config / "mimeapps.list");
    recorder.WaitFor(1);
    recorder.Settle();
    EXPECT_EQ(recorder.seen, (std::vector<Received>{{I | SHCNE_ASSOCCHANGED, "", ""}}));
}

// ---- events reported by a program ------------------------------------------------

TEST(ShellNotifyThreadTest, ReportedEventsReachTheRegistrationsTheyConcern) {
    TempFolder here, there;
    Recorder a, b, interruptOnly;
    const LONG events = SHCNE_CREATE | SHCNE_NETSHARE;
    ASSERT_NE(a.Register(here.Path(), false, events), 0u);
    ASSERT_NE(b.Register(there.Path(), true, events), 0u);
    ASSERT_NE(interruptOnly.Register(here.Path(), false, events, SHCNRF_InterruptLevel), 0u);

    SHChangeNotify(SHCNE_CREATE, SHCNF_PATHA, (there / "sub/file").c_str(), nullptr);
    SHChangeNotify(SHCNE_NETSHARE, SHCNF_PATHA, "/srv/public", nullptr);
    SHChangeNotify(SHCNE_DELETE, SHCNF_PATHA, (here / "file").c_str(), nullptr);  // not asked for
    b.WaitFor(2);
    a.Settle();
    // Shell-level events carry no interrupt flag.
    EXPECT_EQ(a.seen, (std::vector<Received>{{SHCNE_NETSHARE, "/srv/public", ""}}));
    EXPECT_EQ(b.seen, (std::vector<Received>{{SHCNE_CREATE, there / "sub/file", ""},
                                             {SHCNE_NETSHARE, "/srv/public", ""}}));
    EXPECT_TRUE(interruptOnly.seen.empty());
}

TEST(ShellNotifyThreadTest, RegistrationFailsClearly) {
    Recorder recorder;
    SHChangeNotifyEntry noItem{nullptr, FALSE};
    EXPECT_EQ(SHChangeNotifyRegister(nullptr, 3, SHCNE_CREATE, Notification, 1, &noItem), 0u);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_EQ(SHChangeNotifyRegister(recorder.Window(), 0, SHCNE_CREATE, Notification, 1, &noItem),
              0u);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);

    // A folder that went away after its item was made.
    auto folder = std::make_unique<TempFolder>();
    LPITEMIDLIST pidl = nullptr;
    ASSERT_EQ(SHILCreateFromPath(folder->Path().c_str(), &pidl, nullptr), S_OK);
    folder.reset();
    SHChangeNotifyEntry gone{pidl, TRUE};
    EXPECT_EQ(SHChangeNotifyRegister(recorder.Window(), 3, SHCNE_CREATE, Notification, 1, &gone),
              0u);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    IMalloc* malloc = nullptr;
    SHGetMalloc(&malloc);
    malloc->Free(pidl);
}

// ---- the mount table ---------------------------------------------------------------

TEST(MountTableTest, DrivesAndMediaComeAndGoByMountPoint) {
    const std::string before =
        "22 1 0:21 / /proc rw,nosuid - proc proc rw\n"
        "29 1 8:1 / / rw,relatime shared:1 - ext4 /dev/sda1 rw\n"
        "40 29 8:17 / /media/USB\\040STICK rw - vfat /dev/sdb1 rw\n"
        "garbage line\n";
    const std::string after =
        "22 1 0:21 / /proc rw,nosuid - proc proc rw\n"
        "29 1 8:1 / / rw,relatime shared:1 - ext4 /dev/sda1 rw\n"
        "41 29 0:50 / /mnt/share rw - nfs4 server:/export rw\n"
        "42 29 0:51 / /run/user/1000 rw - tmpfs tmpfs rw\n";
    auto old = ParseMountInfo(before);
    ASSERT_EQ(old.size(), 3u);
    EXPECT_EQ(old[2].MountPoint, "/media/USB STICK");
    EXPECT_EQ(old[2].Device, "8:17");

    auto changes = MountChanges(old, ParseMountInfo(after));
    ASSERT_EQ(changes.size(), 2u) << "proc and tmpfs are no drives";
    EXPECT_FALSE(changes[0].Added);
    EXPECT_EQ(changes[0].Mount.MountPoint, "/media/USB STICK");
    EXPECT_TRUE(changes[1].Added);
    EXPECT_EQ(changes[1].Mount.MountPoint, "/mnt/share");
}
