#include "framework/FileStream.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
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
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    void Put(const std::string& content) { std::ofstream(file_, std::ios::binary) << content; }
    std::string Content() const {
        std::ifstream in(file_, std::ios::binary);
        std::ostringstream out;
        out << in.rdbuf();
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
    EXPECT_EQ(stream.Size(), 11);
    EXPECT_EQ(stream.Position(), 11);
    EXPECT_EQ(stream.Seek(-5, soFromEnd), 6);
    char word[6] = {};
    stream.ReadBuffer(word, 5);
    EXPECT_STREQ(word, "world");
    EXPECT_EQ(stream.Seek(-11, soFromCurrent), 0);
    stream.WriteBuffer("J", 1);
    stream.SetPosition(0);
    char all[12] = {};
    EXPECT_EQ(stream.Read(all, 100), 11);  // a short read at the end, no error
    EXPECT_STREQ(all, "Jello world");
    EXPECT_THROW(stream.ReadBuffer(all, 1), EReadError);
    stream.SetSize(4);
    EXPECT_EQ(stream.Size(), 4);
}

TEST_F(FileStreamTest, CreateReplacesAndOpenKeepsContent) {
    Put("old content");
    { TFileStream(file_, fmOpenReadWrite | fmShareDenyNone).WriteBuffer("OLD", 3); }
    EXPECT_EQ(Content(), "OLD content");
    { TFileStream stream(file_, fmCreate); }
    EXPECT_EQ(Content(), "");
}

TEST_F(FileStreamTest, FailuresRaiseTheStreamErrorsWithTheSystemText) {
    std::string missing = dir_ + "/missing";
    try {
        TFileStream stream(missing, fmOpenRead);
        FAIL() << "no exception";
    } catch (const EFOpenError& e) {
        EXPECT_EQ(e.Message(), "Cannot open file \"" + missing + "\". No such file or directory");
    }
    std::string deep = dir_ + "/no/such/file";
    try {
        TFileStream stream(deep, fmCreate);
        FAIL() << "no exception";
    } catch (const EFCreateError& e) {
        EXPECT_EQ(e.Message(), "Cannot create file \"" + deep + "\". No such file or directory");
    }
    EXPECT_THROW(TFileStream(dir_, fmOpenRead | fmShareDenyNone), EFOpenError);  // a folder
    Put("x");
    EXPECT_FALSE(Opens(0x0003));  // no such access value
    EXPECT_FALSE(Opens(0x0050));  // no such share value
    EXPECT_THROW(TFileStream(file_, fmCreate, TExistingFile::Fail), EFCreateError);
    EXPECT_EQ(Content(), "x");
}

TEST_F(FileStreamTest, WriteOnlyStreamsDoNotRead) {
    Put("secret");
    TFileStream stream(file_, fmOpenWrite | fmShareDenyNone);
    char buffer[8];
    EXPECT_EQ(stream.Read(buffer, 6), 0);
    EXPECT_EQ(stream.Write("S", 1), 1);
}

struct ShareCase {
    std::uint16_t held;
    std::uint16_t next;
    bool admitted;
};

// Each row: a stream holds the file with `held`; does an open with `next` succeed?
TEST_F(FileStreamTest, ShareModesOfOpenStreamsDecideLaterOpens) {
    const ShareCase cases[] = {
        // the log file's mode: others may read, nobody else may write
        {fmOpenReadWrite | fmShareDenyWrite, fmOpenRead | fmShareDenyNone, true},
        {fmOpenReadWrite | fmShareDenyWrite, fmOpenRead | fmShareDenyWrite, false},
        {fmOpenReadWrite | fmShareDenyWrite, fmOpenWrite | fmShareDenyNone, false},
        {fmOpenReadWrite | fmShareDenyWrite, fmOpenReadWrite | fmShareDenyWrite, false},
        // readers that deny writing share with each other, not with writers
        {fmOpenRead | fmShareDenyWrite, fmOpenRead | fmShareDenyWrite, true},
        {fmOpenRead | fmShareDenyWrite, fmOpenReadWrite | fmShareDenyNone, false},
        {fmOpenRead | fmShareDenyNone, fmOpenReadWrite | fmShareDenyWrite, true},
        // denying reading keeps readers out but lets writers in
        {fmOpenRead | fmShareDenyRead, fmOpenRead | fmShareDenyNone, false},
        {fmOpenRead | fmShareDenyRead, fmOpenWrite | fmShareDenyNone, true},
        // a later opener's own denials must allow what the holder does
        {fmOpenWrite | fmShareDenyNone, fmOpenRead | fmShareDenyWrite, false},
        {fmOpenRead | fmShareDenyNone, fmOpenWrite | fmShareDenyRead, false},
        // exclusive, and compatibility which behaves the same
        {fmOpenRead | fmShareExclusive, fmOpenRead | fmShareDenyNone, false},
        {fmOpenRead | fmShareCompat, fmOpenRead | fmShareDenyNone, false},
        {fmOpenRead | fmShareDenyNone, fmOpenRead | fmShareCompat, false},
        {fmOpenReadWrite | fmShareDenyNone, fmOpenReadWrite | fmShareDenyNone, true},
    };
    Put("data");
    for (const ShareCase& c : cases) {
        SCOPED_TRACE(::testing::Message()
                     << std::hex << "held 0x" << c.held << ", next 0x" << c.next);
        {
            TFileStream holder(file_, c.held);
            EXPECT_EQ(Opens(c.next), c.admitted);
        }
        EXPECT_TRUE(Opens(c.next)) << "closing the holder must lift its denials";
    }
}

TEST_F(FileStreamTest, CreatedFilesAreExclusiveAndARefusedCreateTruncatesNothing) {
    {
        TFileStream created(file_, fmCreate);
        created.WriteBuffer("abc", 3);
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
    EXPECT_EQ(Content(), "abc");
}

// Runs `body` in a child process; returns its exit status.
template <class F>
int InChild(F body) {
    pid_t pid = ::fork();
    if (pid == 0) {
        int status = 99;
        try {
            status = body();
        } catch (...) {
        }
        ::_exit(status);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST_F(FileStreamTest, ShareModesHoldBetweenProcesses) {
    Put("shared");
    {
        TFileStream holder(file_, fmOpenReadWrite | fmShareDenyWrite);
        int child = InChild([&] {
            try {
                TFileStream writer(file_, fmOpenReadWrite | fmShareDenyWrite);
                return 1;
            } catch (const EFOpenError& e) {
                if (std::strstr(e.what(), os::kSharingViolationText) == nullptr) return 2;
            }
            TFileStream reader(file_, fmOpenRead | fmShareDenyNone);  // reading is allowed
            return 0;
        });
        EXPECT_EQ(child, 0);
    }

    // The other way round: a child holds the file exclusively until told to go.
    int toChild[2], fromChild[2];
    ASSERT_EQ(::pipe(toChild), 0);
    ASSERT_EQ(::pipe(fromChild), 0);
    pid_t pid = ::fork();
    if (pid == 0) {
        int status = 1;
        try {
            TFileStream holder(file_, fmOpenRead | fmShareExclusive);
            char c = 'r';
            if (::write(fromChild[1], &c, 1) == 1 && ::read(toChild[0], &c, 1) == 1) status = 0;
        } catch (...) {
        }
        ::_exit(status);
    }
    char c;
    ASSERT_EQ(::read(fromChild[0], &c, 1), 1);
    EXPECT_FALSE(Opens(fmOpenRead | fmShareDenyNone));
    ASSERT_EQ(::write(toChild[1], "g", 1), 1);
    int status = 0;
    ::waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_TRUE(Opens(fmOpenRead | fmShareDenyNone)) << "a dead holder's denials are gone";
    for (int fd : {toChild[0], toChild[1], fromChild[0], fromChild[1]}) ::close(fd);
}

}  // namespace
}  // namespace zr
