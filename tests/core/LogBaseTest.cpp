#include "core/LogBase.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <climits>
#include <filesystem>

#include "LogTestSupport.h"
#include "framework/FileStream.h"
#include "framework/FormatSettings.h"

namespace zr {
namespace {

class LogBaseWrite : public testing::ScratchFolder {
  protected:
    void SetUp() override {
        ScratchFolder::SetUp();
        saved_ = FormatSettings;
        log_.SetLogFile(Path("events.log"));
    }
    void TearDown() override {
        FormatSettings = saved_;
        ScratchFolder::TearDown();
    }
    std::string Logged() const { return Content(log_.LogFile()); }
    static bool LockIsFree() {
        if (!KVLogLock().try_lock()) return false;
        KVLogLock().unlock();
        return true;
    }
    TKVLogBase log_{nullptr};
    TFormatSettings saved_;
};

TEST_F(LogBaseWrite, AppendsExactlyTheBytesGivenActiveOrNot) {
    log_.WriteAsString("");
    EXPECT_FALSE(Exists(log_.LogFile())) << "empty text must not create the file";
    const std::string binary("one\r\n\0\xff end", 11);
    log_.WriteAsString(binary);
    EXPECT_EQ(Logged(), binary);
    log_.SetActive(true);
    log_.WriteAsString("two");
    log_.WriteAsString("");
    EXPECT_EQ(Logged(), binary + "two");
}

TEST_F(LogBaseWrite, ALogItCreatesIsTheOwnersAloneWhateverTheUmask) {
    const mode_t old = ::umask(0);
    log_.WriteAsString("private");
    ::umask(old);
    struct stat st {};
    ASSERT_EQ(::stat(log_.LogFile().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(LogBaseWrite, ConvertedValuesFollowTheSettingsAndAddNoSeparators) {
    log_.WriteAsInteger(-5);
    log_.WriteAsInteger(1);
    log_.WriteAsInteger(INT_MIN);
    FormatSettings.DecimalSeparator = '.';
    log_.WriteAsFloat(0.5);
    FormatSettings.DecimalSeparator = ',';
    log_.WriteAsFloat(0.5);
    FormatSettings.ShortDateFormat = "yyyy/mm/dd";
    FormatSettings.DateSeparator = '-';
    FormatSettings.LongTimeFormat = "hh:nn:ss";
    log_.WriteAsDateTime(EncodeDate(2024, 2, 29));  // midnight: no time
    log_.WriteAsDateTime(EncodeDate(2024, 2, 29) + EncodeTime(13, 5, 7, 0));
    EXPECT_EQ(Logged(), "-51-21474836480.50,52024-02-292024-02-29 13:05:07");
}

TEST_F(LogBaseWrite, RelativeNamesFollowTheCurrentDirectory) {
    const auto saved = std::filesystem::current_path();
    std::filesystem::create_directory(Path("one"));
    std::filesystem::create_directory(Path("two"));
    log_.SetLogFile("rel.log");
    std::filesystem::current_path(Path("one"));
    log_.WriteAsString("1");
    std::filesystem::current_path(Path("two"));
    log_.WriteAsString("2");
    std::filesystem::current_path(saved);
    EXPECT_EQ(Content(Path("one/rel.log")), "1");
    EXPECT_EQ(Content(Path("two/rel.log")), "2");
}

TEST_F(LogBaseWrite, FailuresRaiseLeaveTheLockAndTheNextWriteWorks) {
    log_.SetLogFile(Path("missing/events.log"));
    try {
        log_.WriteAsString("lost");
        FAIL() << "no exception";
    } catch (const EFCreateError& e) {
        EXPECT_EQ(e.Message(),
                  "Cannot create file \"" + log_.LogFile() + "\". No such file or directory");
    }
    EXPECT_TRUE(LockIsFree());
    std::filesystem::create_directory(Path("missing"));
    log_.WriteAsString("kept");
    EXPECT_EQ(Logged(), "kept");
    {
        TFileStream writer(log_.LogFile(), fmOpenWrite | fmShareDenyNone);
        EXPECT_THROW(log_.WriteAsString("refused"), EFOpenError);
        EXPECT_TRUE(LockIsFree());
    }
    TFileStream reader(log_.LogFile(), fmOpenRead | fmShareDenyNone);  // readers may stay
    log_.WriteAsString("!");
    EXPECT_EQ(Logged(), "kept!");
    log_.SetLogFile("");
    EXPECT_THROW(log_.WriteAsString("x"), EFCreateError);
}

// A file size limit stops a write part way, as a full disk does.
TEST_F(LogBaseWrite, AShortWriteIsReportedAndTakenBack) {
    int status = testing::RunInChild([&] {
        ::signal(SIGXFSZ, SIG_IGN);
        struct rlimit limit {
            100, 100
        };
        if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) return 10;
        log_.WriteAsString(std::string(60, 'a'));
        try {
            log_.WriteAsString(std::string(60, 'b'));
            return 11;
        } catch (const EWriteError&) {
        }
        log_.WriteAsString(std::string(40, 'c'));  // what fits still goes in, right after
        return Logged() == std::string(60, 'a') + std::string(40, 'c') ? 0 : 12;
    });
    EXPECT_EQ(status, 0);
}

TEST_F(LogBaseWrite, OverridesReceiveTheConvertedTexts) {
    struct Recording : TKVLogBase {
        using TKVLogBase::TKVLogBase;
        std::string seen;
        void WriteAsString(const std::string& value) override { seen += "<" + value + ">"; }
    } recording(nullptr);
    recording.WriteAsInteger(7);
    recording.WriteAsDateTime(EncodeDate(2000, 1, 2));
    EXPECT_EQ(recording.seen, "<7><" + DateTimeToStr(EncodeDate(2000, 1, 2)) + ">");
}

TEST_F(LogBaseWrite, ClearLogDeletesOnlyWhatItShould) {
    log_.ClearLog();  // no file yet: nothing happens
    log_.WriteAsString("old");
    log_.ClearLog();
    EXPECT_FALSE(Exists(log_.LogFile()));
    log_.WriteAsString("new");
    EXPECT_EQ(Logged(), "new");
    {
        TFileStream holder(log_.LogFile(), fmOpenRead | fmShareDenyNone);
        log_.ClearLog();  // held open: stays, silently
    }
    EXPECT_EQ(Logged(), "new");
}

}  // namespace
}  // namespace zr
