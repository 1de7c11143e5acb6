#include "framework/FileStream.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "framework/Exceptions.h"
#include "platform/FileShare.h"

namespace zr {
namespace {

class FileStreamTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/zr-stream-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        dir_ = pattern;
        file_ = dir_ + "/data.bin";
        std::ofstream(file_, std::ios::binary) << "abc";
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }
    std::string Content() const {
        std::ostringstream out;
        out << std::ifstream(file_, std::ios::binary).rdbuf();
        return out.str();
    }
    bool Opens(std::uint16_t mode) {
        try {
            TFileStream stream(file_, mode);
            return true;
        } catch (const EFOpenError&) {
            return false;
        }
    }
    std::string dir_, file_;
};

TEST_F(FileStreamTest, ReadWriteSeekAndSize) {
    TFileStream stream(file_, fmCreate);
    stream.WriteBuffer("hello world", 11);
    EXPECT_EQ(stream.Seek(-5, soFromEnd), 6);
    char word[6] = {};
    stream.ReadBuffer(word, 5);
    EXPECT_STREQ(word, "world");
    stream.SetPosition(0);
    char all[12] = {};
    EXPECT_EQ(stream.Read(all, 100), 11);  // short read at the end, no error
    EXPECT_THROW(stream.ReadBuffer(all, 1), EReadError);
    stream.SetSize(4);
    EXPECT_EQ(stream.Size(), 4);
}

TEST_F(FileStreamTest, FailuresRaiseStreamErrorsWithTheSystemText) {
    try {
        TFileStream stream(dir_ + "/missing", fmOpenRead);
        FAIL() << "no exception";
    } catch (const EFOpenError& e) {
        EXPECT_EQ(e.Message(),
                  "Cannot open file \"" + dir_ + "/missing\". No such file or directory");
    }
    EXPECT_THROW(TFileStream(dir_ + "/no/file", fmCreate), EFCreateError);
    EXPECT_THROW(TFileStream(dir_, fmOpenRead | fmShareDenyNone), EFOpenError);  // a folder
    EXPECT_FALSE(Opens(0x0003));  // no such access value
    EXPECT_FALSE(Opens(0x0050));  // no such share value
    EXPECT_THROW(TFileStream(file_, fmCreate, TExistingFile::Fail), EFCreateError);
    EXPECT_EQ(Content(), "abc");
}

// Each row: a stream holds the file with `held`; may a stream open it with `next`?
TEST_F(FileStreamTest, ShareModesOfOpenStreamsDecideLaterOpens) {
    const struct {
        std::uint16_t held, next;
        bool admitted;
    } cases[] = {
        {fmOpenReadWrite | fmShareDenyWrite, fmOpenRead | fmShareDenyNone, true},
        {fmOpenReadWrite | fmShareDenyWrite, fmOpenRead | fmShareDenyWrite, false},
        {fmOpenReadWrite | fmShareDenyWrite, fmOpenWrite | fmShareDenyNone, false},
        {fmOpenRead | fmShareDenyWrite, fmOpenRead | fmShareDenyWrite, true},
        {fmOpenRead | fmShareDenyWrite, fmOpenReadWrite | fmShareDenyNone, false},
        {fmOpenRead | fmShareDenyNone, fmOpenReadWrite | fmShareDenyWrite, true},
        {fmOpenRead | fmShareDenyRead, fmOpenRead | fmShareDenyNone, false},
        {fmOpenRead | fmShareDenyRead, fmOpenWrite | fmShareDenyNone, true},
        {fmOpenWrite | fmShareDenyNone, fmOpenRead | fmShareDenyWrite, false},
        {fmOpenRead | fmShareDenyNone, fmOpenWrite | fmShareDenyRead, false},
        {fmOpenRead | fmShareExclusive, fmOpenRead | fmShareDenyNone, false},
        {fmOpenRead | fmShareCompat, fmOpenRead | fmShareDenyNone, false},
        {fmOpenReadWrite | fmShareDenyNone, fmOpenReadWrite | fmShareDenyNone, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message()
                     << std::hex << "held 0x" << c.held << " next 0x" << c.next);
        {
            TFileStream holder(file_, c.held);
            EXPECT_EQ(Opens(c.next), c.admitted);
        }
        EXPECT_TRUE(Opens(c.next)) << "closing the holder lifts its denials";
    }
}

TEST_F(FileStreamTest, CreatedFilesAreExclusiveAndARefusedCreateTruncatesNothing) {
    {
        TFileStream created(file_, fmCreate);
        created.WriteBuffer("new", 3);
        EXPECT_FALSE(Opens(fmOpenRead | fmShareDenyNone));
        EXPECT_TRUE(os::FileOpenWithShare(file_));
    }
    EXPECT_FALSE(os::FileOpenWithShare(file_));
    TFileStream reader(file_, fmOpenRead | fmShareDenyNone);
    try {
        TFileStream again(file_, fmCreate);
        FAIL() << "no exception";
    } catch (const EFCreateError& e) {
        EXPECT_EQ(e.Message(),
                  "Cannot create file \"" + file_ + "\". " + os::kSharingViolationText);
    }
    EXPECT_EQ(Content(), "new");
}

TEST_F(FileStreamTest, ShareModesHoldBetweenProcessesAndDieWithTheHolder) {
    int ready[2], go[2];
    ASSERT_EQ(::pipe(ready), 0);
    ASSERT_EQ(::pipe(go), 0);
    pid_t pid = ::fork();
    if (pid == 0) {  // holds the file, denying writers, until told to go
        TFileStream holder(file_, fmOpenReadWrite | fmShareDenyWrite);
        char c = 'r';
        bool ok = ::write(ready[1], &c, 1) == 1 && ::read(go[0], &c, 1) == 1;
        ::_exit(ok ? 0 : 1);
    }
    char c;
    ASSERT_EQ(::read(ready[0], &c, 1), 1);
    EXPECT_FALSE(Opens(fmOpenReadWrite | fmShareDenyWrite));
    EXPECT_TRUE(Opens(fmOpenRead | fmShareDenyNone));
    ASSERT_EQ(::write(go[1], "g", 1), 1);
    int status = 0;
    ::waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_TRUE(Opens(fmOpenReadWrite | fmShareDenyWrite)) << "a gone holder denies nothing";
    for (int fd : {ready[0], ready[1], go[0], go[1]}) ::close(fd);
}

}  // namespace
}  // namespace zr
