// The owner-only store files: where a store lives without HOME, what is made
// and with which modes, and the hostile files and locks that are refused.
#include "platform/PrivateStore.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <optional>
#include <string>

#include "tests/support/ScopedEnv.h"
#include "tests/support/LockHolder.h"

namespace zr::os::privstore {
namespace {

using zr::testing::ScopedEnv;

class PrivateStoreTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/zr-private-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        dir_ = pattern;
        fd_.Reset(::open(dir_.c_str(), O_RDONLY | O_DIRECTORY));
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    static mode_t ModeOf(const std::string& path) {
        struct stat st {};
        EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
        return st.st_mode & 0777;
    }

    std::string dir_;
    TFd fd_;
};

TEST(PrivateStoreHome, WithoutHomeTheStoreIsInThePasswordDatabasesHomeNeverTmp) {
    ScopedEnv home("HOME", std::nullopt);
    ScopedEnv state("XDG_STATE_HOME", std::nullopt);
    ScopedEnv chosen("ZR_TEST_STORE", std::nullopt);
    passwd* entry = ::getpwuid(::getuid());
    ASSERT_NE(entry, nullptr);
    TStoreLocation where;
    ASSERT_EQ(LocateStore("ZR_TEST_STORE", "registry", where), ERROR_SUCCESS);
    EXPECT_EQ(where.Path(), std::string(entry->pw_dir) + "/.local/state/zoririve/registry");

    ScopedEnv relative("HOME", "relative/home");  // not absolute: not the user's home
    ASSERT_EQ(LocateStore("ZR_TEST_STORE", "registry", where), ERROR_SUCCESS);
    EXPECT_EQ(where.Base, std::string(entry->pw_dir) + "/.local/state");
}

TEST_F(PrivateStoreTest, EverythingMadeIsTheOwnersAloneWhateverTheUmask) {
    mode_t old = ::umask(0);
    TStoreLocation where{dir_ + "/base", "zoririve/registry"};
    TFd store, folder, file;
    EXPECT_EQ(OpenStore(where, true, store), ERROR_SUCCESS);
    EXPECT_EQ(OpenFolderPath(store.Get(), "a/b", true, folder), ERROR_SUCCESS);
    EXPECT_EQ(OpenStoreFile(folder.Get(), "f", O_WRONLY | O_CREAT | O_EXCL, file), ERROR_SUCCESS);
    ::umask(0277);  // would leave the owner unable to write
    TFd second;
    EXPECT_EQ(OpenStoreFile(folder.Get(), "g", O_WRONLY | O_CREAT | O_EXCL, second), ERROR_SUCCESS);
    TFd third;
    EXPECT_EQ(OpenFolderAt(store.Get(), "c", true, third), ERROR_SUCCESS);
    ::umask(old);
    for (const char* path :
         {"/base", "/base/zoririve", "/base/zoririve/registry", "/base/zoririve/registry/a",
          "/base/zoririve/registry/a/b", "/base/zoririve/registry/c"})
        EXPECT_EQ(ModeOf(dir_ + path), 0700u) << path;
    EXPECT_EQ(ModeOf(dir_ + "/base/zoririve/registry/a/b/f"), 0600u);
    EXPECT_EQ(ModeOf(dir_ + "/base/zoririve/registry/a/b/g"), 0600u);
}

TEST_F(PrivateStoreTest, AnOlderWorldReadableStoreFolderIsMadePrivateOnTheNextWrite) {
    std::filesystem::create_directories(dir_ + "/base/zoririve/registry");
    ::chmod((dir_ + "/base/zoririve/registry").c_str(), 0755);
    TFd store;
    ASSERT_EQ(OpenStore({dir_ + "/base", "zoririve/registry"}, true, store), ERROR_SUCCESS);
    EXPECT_EQ(ModeOf(dir_ + "/base/zoririve/registry"), 0700u);
}

TEST_F(PrivateStoreTest, ALinkPlantedAsAFolderInsideTheStoreIsNeverFollowed) {
    ASSERT_EQ(::mkdir((dir_ + "/elsewhere").c_str(), 0700), 0);
    ASSERT_EQ(::mkdir((dir_ + "/store").c_str(), 0700), 0);
    ASSERT_EQ(::symlink((dir_ + "/elsewhere").c_str(), (dir_ + "/store/key").c_str()), 0);
    TFd store, folder;
    ASSERT_EQ(OpenStore({dir_ + "/store", ""}, true, store), ERROR_SUCCESS);
    EXPECT_EQ(OpenFolderPath(store.Get(), "key/sub", true, folder), ERROR_ACCESS_DENIED);
    EXPECT_FALSE(folder.Valid());
    EXPECT_FALSE(std::filesystem::exists(dir_ + "/elsewhere/sub"));
}

TEST_F(PrivateStoreTest, LinksFifosAndDevicesAreRefusedAsStoreFilesWithoutBlocking) {
    ASSERT_EQ(::mkfifo((dir_ + "/fifo").c_str(), 0600), 0);
    ASSERT_EQ(::symlink("/dev/zero", (dir_ + "/zero").c_str()), 0);
    ASSERT_EQ(::symlink((dir_ + "/target").c_str(), (dir_ + "/link").c_str()), 0);
    TFd file;
    EXPECT_EQ(OpenStoreFile(fd_.Get(), "fifo", O_RDONLY, file), ERROR_ACCESS_DENIED);
    EXPECT_EQ(OpenStoreFile(fd_.Get(), "fifo", O_WRONLY | O_CREAT, file), ERROR_ACCESS_DENIED);
    EXPECT_EQ(OpenStoreFile(fd_.Get(), "zero", O_RDONLY, file), ERROR_ACCESS_DENIED);
    TFd dev(::open("/dev", O_RDONLY | O_DIRECTORY));
    EXPECT_EQ(OpenStoreFile(dev.Get(), "zero", O_RDONLY, file), ERROR_ACCESS_DENIED);
    EXPECT_EQ(OpenStoreFile(fd_.Get(), "link", O_WRONLY | O_CREAT, file), ERROR_ACCESS_DENIED);
    EXPECT_FALSE(std::filesystem::exists(dir_ + "/target"));
}

TEST_F(PrivateStoreTest, AFileOverTheLimitIsRefusedBeforeItIsRead) {
    TFd file;
    ASSERT_EQ(OpenStoreFile(fd_.Get(), "big", O_RDWR | O_CREAT | O_EXCL, file), ERROR_SUCCESS);
    ASSERT_EQ(::ftruncate(file.Get(), 1 << 30), 0);  // sparse: costs nothing on disk
    std::string text;
    EXPECT_EQ(ReadStoreFile(file.Get(), 1 << 20, text), ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_TRUE(text.empty());
    ASSERT_EQ(::ftruncate(file.Get(), 5), 0);
    EXPECT_EQ(ReadStoreFile(file.Get(), 1 << 20, text), ERROR_SUCCESS);
    EXPECT_EQ(text, std::string(5, '\0'));
}

TEST_F(PrivateStoreTest, ALockHeldByAnotherProcessFailsTheCallInBoundedTime) {
    {
        const zr::testing::LockHolder holder(dir_, LOCK_SH);
        ASSERT_TRUE(holder.Held());
        auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(LockFile(fd_.Get(), LOCK_EX, std::chrono::milliseconds(300)),
                  ERROR_LOCK_VIOLATION);
        auto waited = std::chrono::steady_clock::now() - start;
        EXPECT_GE(waited, std::chrono::milliseconds(300));
        EXPECT_LT(waited, std::chrono::seconds(3));
    }
    EXPECT_EQ(LockFile(fd_.Get(), LOCK_EX, std::chrono::milliseconds(300)), ERROR_SUCCESS);
}

TEST(StoreErrors, EveryErrnoBecomesAHostCodeNeverItsOwnNumber) {
    // An errno passed through reads as a host code of another meaning
    // (EFBIG 27 is "sector not found", ENOTEMPTY 39 "disk full").
    EXPECT_EQ(ErrorFromErrno(EFBIG), ERROR_FILE_TOO_LARGE);
    EXPECT_EQ(ErrorFromErrno(ENOTEMPTY), ERROR_DIR_NOT_EMPTY);
    EXPECT_EQ(ErrorFromErrno(ENOSPC), ERROR_DISK_FULL);
    for (int error = 1; error < 134; ++error) {
        errno = error;
        const DWORD store = LastStoreError();
        EXPECT_STRNE(SystemErrorText(ErrorFromErrno(error)), "") << error;
        EXPECT_STRNE(SystemErrorText(store), "") << error;
    }
}

}  // namespace
}  // namespace zr::os::privstore
