// Change notifications of the registry store. The platform waits for them on
// a thread of its own; the changes come from other processes through zrreg.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <thread>

#include "platform/Registry.h"
#include "platform/Sync.h"
#include "tests/platform/RegistryTestSupport.h"

using namespace zr::os;
using zr::testing::Zrreg;

namespace {

// Long enough for the notification thread to see a change that was made.
constexpr DWORD QuietMs = 300;
constexpr DWORD ChangeMs = 5000;

class RegistryNotifyThread : public zr::testing::ScratchRegistry {
  protected:
    void SetUp() override {
        ScratchRegistry::SetUp();
        MakeKey("Software\\Watched\\Deep");
        ASSERT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, "Software\\Watched", 0, KEY_READ, &key_),
                  ERROR_SUCCESS);
        event_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    }
    void TearDown() override {
        if (key_) RegCloseKey(key_);
        CloseHandle(event_);
        ScratchRegistry::TearDown();
    }
    void Arm(DWORD filter, bool subtree = false) {
        ResetEvent(event_);
        ASSERT_EQ(RegNotifyChangeKeyValue(key_, subtree ? TRUE : FALSE, filter, event_, TRUE),
                  ERROR_SUCCESS);
    }
    bool Signalled(DWORD ms) { return WaitForSingleObject(event_, ms) == WAIT_OBJECT_0; }
    static void Change(const std::vector<std::string>& zrregArgs) {
        auto result = Zrreg(zrregArgs);
        ASSERT_EQ(result.Status, 0) << result.Output;
    }

    HKEY key_ = 0;
    HANDLE event_ = nullptr;
};

}  // namespace

TEST_F(RegistryNotifyThread, EachFilterHearsOnlyItsKindsOfChange) {
    Arm(REG_NOTIFY_CHANGE_NAME);
    Change({"set", "HKLM\\Software\\Watched", "Value", "sz", "x"});
    Change({"add", "HKLM\\Software\\Watched\\Deep\\Deeper"});
    EXPECT_FALSE(Signalled(QuietMs)) << "a value, and a subkey below a subkey";
    Change({"add", "HKLM\\Software\\Watched\\Direct"});
    EXPECT_TRUE(Signalled(ChangeMs)) << "a direct subkey added";
    Arm(REG_NOTIFY_CHANGE_NAME);
    Change({"delete", "HKLM\\Software\\Watched\\Direct"});
    EXPECT_TRUE(Signalled(ChangeMs)) << "a direct subkey deleted";

    Arm(REG_NOTIFY_CHANGE_LAST_SET);
    Change({"add", "HKLM\\Software\\Watched\\Other"});
    Change({"set", "HKLM\\Software\\Watched\\Deep", "Below", "dword", "1"});
    EXPECT_FALSE(Signalled(QuietMs)) << "a subkey, and a value below";
    Change({"delete", "HKLM\\Software\\Watched", "Value"});
    EXPECT_TRUE(Signalled(ChangeMs)) << "a value deleted";

    Arm(REG_NOTIFY_CHANGE_ATTRIBUTES);
    ASSERT_EQ(::chmod((store_ + "/HKEY_LOCAL_MACHINE/Software/Watched").c_str(), 0750), 0);
    EXPECT_TRUE(Signalled(ChangeMs)) << "the key's attributes";
}

TEST_F(RegistryNotifyThread, ASignalComesOnceAndOnlyForTheArmedKind) {
    Arm(REG_NOTIFY_CHANGE_LAST_SET);
    Change({"set", "HKLM\\Software\\Watched", "First", "sz", "1"});
    ASSERT_TRUE(Signalled(ChangeMs));
    ResetEvent(event_);
    Change({"set", "HKLM\\Software\\Watched", "Second", "sz", "2"});
    EXPECT_FALSE(Signalled(QuietMs)) << "not armed again";

    // Two notifications on one key keep their own filters and events.
    HANDLE names = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ASSERT_EQ(RegNotifyChangeKeyValue(key_, FALSE, REG_NOTIFY_CHANGE_NAME, names, TRUE),
              ERROR_SUCCESS);
    Arm(REG_NOTIFY_CHANGE_LAST_SET);
    Change({"set", "HKLM\\Software\\Watched", "Third", "sz", "3"});
    EXPECT_TRUE(Signalled(ChangeMs));
    EXPECT_EQ(WaitForSingleObject(names, QuietMs), WAIT_TIMEOUT);
    CloseHandle(names);
}

TEST_F(RegistryNotifyThread, ASubtreeWatchHearsEveryFolderBelowNewOnesToo) {
    Arm(REG_NOTIFY_CHANGE_NAME, true);
    Change({"add", "HKLM\\Software\\Watched\\Deep\\Deeper"});
    EXPECT_TRUE(Signalled(ChangeMs));

    // A folder made after the watch was armed is watched as well.
    Arm(REG_NOTIFY_CHANGE_LAST_SET, true);
    Change({"add", "HKLM\\Software\\Watched\\Deep\\Fresh"});
    EXPECT_FALSE(Signalled(QuietMs));
    Change({"set", "HKLM\\Software\\Watched\\Deep\\Fresh", "Value", "dword", "5"});
    EXPECT_TRUE(Signalled(ChangeMs));
}

TEST_F(RegistryNotifyThread, ClosingOrDeletingTheKeyEndsTheWait) {
    Arm(REG_NOTIFY_CHANGE_LAST_SET);
    std::thread closer([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        RegCloseKey(key_);
    });
    EXPECT_TRUE(Signalled(ChangeMs));
    closer.join();
    key_ = 0;

    ASSERT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, "Software\\Watched\\Deep", 0, KEY_READ, &key_),
              ERROR_SUCCESS);
    Arm(REG_NOTIFY_CHANGE_LAST_SET);
    Change({"delete", "HKLM\\Software\\Watched\\Deep"});
    EXPECT_TRUE(Signalled(ChangeMs)) << "a deleted key will never change again";
    EXPECT_EQ(RegNotifyChangeKeyValue(key_, FALSE, REG_NOTIFY_CHANGE_NAME, event_, TRUE),
              ERROR_KEY_DELETED);

    // Without asynchronous the call itself waits for the change.
    MakeKey("Software\\Watched\\Sync");
    HKEY sync = 0;
    ASSERT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, "Software\\Watched\\Sync", 0, KEY_NOTIFY, &sync),
              ERROR_SUCCESS);
    std::thread changer([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        Zrreg({"add", "HKLM\\Software\\Watched\\Sync\\Child"});
    });
    EXPECT_EQ(RegNotifyChangeKeyValue(sync, FALSE, REG_NOTIFY_CHANGE_NAME, nullptr, FALSE),
              ERROR_SUCCESS);
    changer.join();
    RegCloseKey(sync);
}

TEST_F(RegistryNotifyThread, BadRequestsAreRefused) {
    EXPECT_EQ(RegNotifyChangeKeyValue(key_, FALSE, 0, event_, TRUE), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegNotifyChangeKeyValue(key_, FALSE, 0x20, event_, TRUE), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegNotifyChangeKeyValue(key_, FALSE, REG_NOTIFY_CHANGE_NAME, nullptr, TRUE),
              ERROR_INVALID_PARAMETER);
    HKEY noNotify = 0;
    ASSERT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, "Software\\Watched", 0, KEY_QUERY_VALUE, &noNotify),
              ERROR_SUCCESS);
    EXPECT_EQ(RegNotifyChangeKeyValue(noNotify, FALSE, REG_NOTIFY_CHANGE_NAME, event_, TRUE),
              ERROR_ACCESS_DENIED);
    RegCloseKey(noNotify);
}
